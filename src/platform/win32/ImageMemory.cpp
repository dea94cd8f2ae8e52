#include "platform/ImageMemory.h"

#include <windows.h>

namespace veltcam::platform {

bool CreateDibSurface(const BitmapInfo& info, void* referenceDc, DibSurface& out) {
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(static_cast<HDC>(referenceDc),
                                       reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                       &bits, nullptr, 0);
    if (section == nullptr || bits == nullptr) {
        if (section != nullptr) DeleteObject(section);
        return false;
    }
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) {
        DeleteObject(section);
        return false;
    }
    out.section = section;
    out.dc = dc;
    out.oldBitmap = SelectObject(dc, section);
    out.pixels = static_cast<uint8_t*>(bits);
    return true;
}

void ReleaseDibSurface(DibSurface& surface) {
    if (surface.dc != nullptr) {
        if (surface.oldBitmap != nullptr) SelectObject(static_cast<HDC>(surface.dc), surface.oldBitmap);
        DeleteDC(static_cast<HDC>(surface.dc));
    }
    if (surface.section != nullptr) DeleteObject(static_cast<HBITMAP>(surface.section));
    surface = DibSurface{};
}

void SetSurfaceColorTable(void* dc, int first, int count, const RgbQuad* entries) {
    if (dc == nullptr || entries == nullptr) return;
    SetDIBColorTable(static_cast<HDC>(dc), static_cast<UINT>(first), static_cast<UINT>(count),
                     reinterpret_cast<const RGBQUAD*>(entries));
}

bool BlitSurface(void* destinationDc, int x, int y, int w, int h, void* sourceDc, int sx, int sy) {
    if (destinationDc == nullptr || sourceDc == nullptr) return false;
    return BitBlt(static_cast<HDC>(destinationDc), x, y, w, h, static_cast<HDC>(sourceDc), sx, sy,
                  SRCCOPY) != FALSE;
}

}  // namespace veltcam::platform
