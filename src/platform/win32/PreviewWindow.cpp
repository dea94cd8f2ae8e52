#include "platform/PreviewWindow.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace veltcam::platform {
namespace {

constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN;  // 0x52000000
constexpr DWORD kTopLevelStyle =
    WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;  // 0x16CF0000
constexpr int kChildId = 6540;

// The display thread draws whenever a frame arrives; the window keeps what was
// drawn last and has nothing to paint on its own.
LRESULT CALLBACK PreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

WindowHandle CreatePreviewWindow(const PreviewWindowRequest& request, std::string& className) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    char name[64];
    std::snprintf(name, sizeof name, "VideoRenderer_%08x_%08x",
                  static_cast<unsigned>(request.owner & 0xFFFFFFFFu),
                  static_cast<unsigned>(timeGetTime() + static_cast<unsigned>(std::rand())));
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PreviewProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = name;
    if (RegisterClassExA(&wc) == 0) return nullptr;
    className = name;

    HWND window = nullptr;
    if (request.parent != nullptr) {
        window = CreateWindowExA(0, name, "ActiveMovie Window", kChildStyle, request.x, request.y,
                                 request.width, request.height, static_cast<HWND>(request.parent),
                                 reinterpret_cast<HMENU>(static_cast<intptr_t>(kChildId)), instance,
                                 nullptr);
    } else {
        RECT rect{0, 0, request.imageWidth, request.imageHeight};
        if (!AdjustWindowRectEx(&rect, kTopLevelStyle, FALSE, 0)) return nullptr;
        int outerWidth = rect.right - rect.left;
        int outerHeight = rect.bottom - rect.top;
        int left = (GetSystemMetrics(SM_CXSCREEN) - outerWidth) / 2;
        int top = (GetSystemMetrics(SM_CYSCREEN) - outerHeight) / 2;
        window = CreateWindowExA(0, name, "Active Window", kTopLevelStyle, left < 0 ? 0 : left,
                                 top < 0 ? 0 : top, outerWidth, outerHeight, nullptr, nullptr,
                                 instance, nullptr);
    }
    if (window == nullptr) return nullptr;
    SetFocus(window);
    ShowWindow(window, SW_SHOW);
    if (!UpdateWindow(window)) return nullptr;
    return window;
}

void* GetWindowDc(WindowHandle window) { return GetDC(static_cast<HWND>(window)); }

void ReleaseWindowDc(WindowHandle window, void* dc) {
    ReleaseDC(static_cast<HWND>(window), static_cast<HDC>(dc));
}

void DestroyPreviewWindow(WindowHandle window) { DestroyWindow(static_cast<HWND>(window)); }

void UnregisterPreviewClass(const std::string& className) {
    if (!className.empty()) UnregisterClassA(className.c_str(), GetModuleHandleA(nullptr));
}

bool GetPreviewClientSize(WindowHandle window, int& width, int& height) {
    HWND hwnd = static_cast<HWND>(window);
    RECT rect{};
    if (hwnd == nullptr || !IsWindowVisible(hwnd) || !GetClientRect(hwnd, &rect)) return false;
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    return true;
}

bool StretchMirror(void* destinationDc, int w, int h, void* sourceDc) {
    return StretchBlt(static_cast<HDC>(destinationDc), 0, 0, w, h, static_cast<HDC>(sourceDc), 0, h,
                      w, -h, SRCCOPY) != 0;
}

// GDI draws through StretchMirror and the display buffer.
bool DrawPreviewImage(void*, int, int, const PreviewImage&) { return false; }

void PlacePreviewWindow(WindowHandle, const PreviewWindowRequest&) {}

}  // namespace veltcam::platform
