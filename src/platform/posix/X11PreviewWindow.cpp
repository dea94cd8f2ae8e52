#include "platform/posix/X11PreviewWindow.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/posix/XlibLoader.h"

namespace veltcam::platform {
namespace {

constexpr int kBufferCount = 2;
constexpr int kEventPollMs = 100;

// Xlib reports protocol errors through one process-wide handler. Errors on the
// SDK's own connections are recorded for the call that caused them; any other
// connection's errors go on to the handler that was there before (the
// application's or Xlib's), so the application sees what it always saw.
std::mutex gErrorsLock;
std::unordered_map<Display*, int>* gErrors = nullptr;
XErrorHandler gPreviousHandler = nullptr;

int OnXError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard<std::mutex> lock(gErrorsLock);
        auto it = gErrors->find(display);
        if (it != gErrors->end()) {
            it->second = event->error_code;
            return 0;
        }
    }
    return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

// Only called once Xlib() has loaded (every path starts at OpenDisplay).
const XlibFunctions& X() { return *Xlib(); }

Display* OpenDisplay() {
    if (Xlib() == nullptr) return nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        X().InitThreads();
        gErrors = new std::unordered_map<Display*, int>;  // lives as long as the handler
        gPreviousHandler = X().SetErrorHandler(OnXError);
    });
    Display* display = X().OpenDisplay(nullptr);
    if (display == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(gErrorsLock);
    (*gErrors)[display] = Success;
    return display;
}

void CloseDisplay(Display* display) {
    X().CloseDisplay(display);
    std::lock_guard<std::mutex> lock(gErrorsLock);
    gErrors->erase(display);
}

// Waits for the server to handle what was sent and returns the first error it
// reported since the last call (Success when none).
int SyncError(Display* display) {
    X().Sync(display, False);
    std::lock_guard<std::mutex> lock(gErrorsLock);
    int& error = (*gErrors)[display];
    const int result = error;
    error = Success;
    return result;
}

bool HostIsLittleEndian() {
    const uint32_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// The window's pixels must be 0x00RRGGBB in 32 bits, the layout the stretch
// writes; other visuals (8- or 16-bit displays) are not served.
bool Is32BitXrgb(const XImage* image) {
    return image != nullptr && image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 &&
           image->green_mask == 0xFF00 && image->blue_mask == 0xFF;
}

}  // namespace

WindowHandle X11ParentHandle(unsigned long window) {
    if (window == 0) return nullptr;
    return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(window) << 1 | 1u);
}

bool X11ParentWindow(WindowHandle handle, unsigned long& window) {
    const auto bits = reinterpret_cast<uintptr_t>(handle);
    if ((bits & 1u) == 0) return false;
    window = static_cast<unsigned long>(bits >> 1);
    return true;
}

bool X11WindowExists(unsigned long window) {
    if (window == 0) return false;
    Display* display = OpenDisplay();
    if (display == nullptr) return false;
    XWindowAttributes attributes;
    const bool found =
        X().GetWindowAttributes(display, window, &attributes) != 0 && SyncError(display) == Success;
    CloseDisplay(display);
    return found;
}

struct CX11PreviewWindow::Connection {
    Display* display = nullptr;
    Visual* visual = nullptr;
    Colormap colormap = 0;
    GC gc = nullptr;
    Atom wmDelete = 0;
    bool shm = false;
    int shmCompletion = -1;
};

struct CX11PreviewWindow::Buffer {
    XImage* image = nullptr;
    XShmSegmentInfo segment{};
    bool shared = false;
    int pending = 0;  // shared-memory puts the server has not finished reading
    int width = 0;
    int height = 0;
};

CX11PreviewWindow::CX11PreviewWindow()
    : x_(std::make_unique<Connection>()), buffers_(std::make_unique<Buffer[]>(kBufferCount)) {}

std::unique_ptr<CX11PreviewWindow> CX11PreviewWindow::Create(const PreviewWindowRequest& request) {
    std::unique_ptr<CX11PreviewWindow> window(new CX11PreviewWindow);
    if (!window->Open(request)) return nullptr;
    return window;
}

bool CX11PreviewWindow::Open(const PreviewWindowRequest& request) {
    unsigned long parent = 0;
    if (request.parent != nullptr && !X11ParentWindow(request.parent, parent)) return false;
    Display* display = OpenDisplay();
    if (display == nullptr) return false;
    x_->display = display;

    int screen = DefaultScreen(display);
    if (parent != 0) {
        XWindowAttributes attributes;
        if (X().GetWindowAttributes(display, parent, &attributes) == 0 ||
            SyncError(display) != Success) {
            return false;
        }
        screen = X().ScreenNumberOfScreen(attributes.screen);
    }
    XVisualInfo visual;
    if (!X().MatchVisualInfo(display, screen, 24, TrueColor, &visual)) return false;
    x_->visual = visual.visual;
    const Window root = RootWindow(display, screen);
    x_->colormap = X().CreateColormap(display, root, visual.visual, AllocNone);

    topLevel_ = parent == 0;
    int x = request.x;
    int y = request.y;
    int width = request.width;
    int height = request.height;
    if (topLevel_) {
        // A window of its own shows the image at its size, centred on the screen.
        width = request.imageWidth;
        height = request.imageHeight;
        x = std::max(0, (DisplayWidth(display, screen) - width) / 2);
        y = std::max(0, (DisplayHeight(display, screen) - height) / 2);
        parent = root;
    }
    width = std::max(1, width);
    height = std::max(1, height);

    XSetWindowAttributes attributes{};
    attributes.background_pixel = 0;  // black until the first frame
    attributes.border_pixel = 0;
    attributes.colormap = x_->colormap;
    attributes.event_mask = ExposureMask | StructureNotifyMask;
    window_ = X().CreateWindow(display, parent, x, y, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 0, 24, InputOutput, visual.visual,
                               CWBackPixel | CWBorderPixel | CWColormap | CWEventMask, &attributes);
    if (SyncError(display) != Success) {
        window_ = 0;
        return false;
    }
    parent_ = parent;
    alive_ = true;
    if (topLevel_) {
        X().StoreName(display, window_, "Active Window");
        x_->wmDelete = X().InternAtom(display, "WM_DELETE_WINDOW", False);
        X().SetWMProtocols(display, window_, &x_->wmDelete, 1);
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = x;
        hints.y = y;
        hints.width = width;
        hints.height = height;
        X().SetWMNormalHints(display, window_, &hints);
    } else {
        X().StoreName(display, window_, "ActiveMovie Window");
    }
    x_->gc = X().CreateGC(display, window_, 0, nullptr);
    X().MapWindow(display, window_);
    if (SyncError(display) != Success) return false;

    int major = 0;
    int minor = 0;
    Bool pixmaps = False;
    x_->shm = X().ShmQueryVersion(display, &major, &minor, &pixmaps) == True;
    if (x_->shm) x_->shmCompletion = X().ShmGetEventBase(display) + ShmCompletion;

    width_ = width;
    height_ = height;
    mapped_ = true;
    if (pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    events_ = std::thread([this] { EventLoop(); });
    return true;
}

CX11PreviewWindow::~CX11PreviewWindow() {
    if (events_.joinable()) {
        stop_ = true;
        const char wake = 1;
        (void)!write(wakeFds_[1], &wake, 1);
        events_.join();
    }
    for (int fd : wakeFds_) {
        if (fd >= 0) close(fd);
    }
    Display* display = x_->display;
    if (display == nullptr) return;
    std::lock_guard<std::mutex> lock(lock_);
    for (int i = 0; i < kBufferCount; ++i) FreeBuffer(buffers_[i]);
    if (x_->gc != nullptr) X().FreeGC(display, x_->gc);
    // A window the user closed or that went with its parent is already gone.
    if (window_ != 0 && alive_) X().DestroyWindow(display, window_);
    if (x_->colormap != 0) X().FreeColormap(display, x_->colormap);
    SyncError(display);
    CloseDisplay(display);
}

bool CX11PreviewWindow::ClientSize(int& width, int& height) {
    std::lock_guard<std::mutex> lock(lock_);
    if (!alive_ || !mapped_) return false;
    width = width_;
    height = height_;
    return true;
}

bool CX11PreviewWindow::MakeBuffer(Buffer& buffer, int width, int height) {
    FreeBuffer(buffer);
    Display* display = x_->display;
    if (x_->shm) {
        // An error left by an earlier put (the window destroyed with its parent)
        // must not be taken for a failed attach.
        SyncError(display);
        XImage* image =
            X().ShmCreateImage(display, x_->visual, 24, ZPixmap, nullptr, &buffer.segment,
                               static_cast<unsigned>(width), static_cast<unsigned>(height));
        const bool usable =
            Is32BitXrgb(image) && image->byte_order == (HostIsLittleEndian() ? LSBFirst : MSBFirst);
        int id = -1;
        if (usable) {
            id = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * height,
                        IPC_CREAT | 0600);
        }
        void* address = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
        if (address != reinterpret_cast<void*>(-1)) {
            buffer.segment.shmid = id;
            buffer.segment.shmaddr = image->data = static_cast<char*>(address);
            buffer.segment.readOnly = False;
            X().ShmAttach(display, &buffer.segment);
            const bool attached = SyncError(display) == Success;
            // Marked for removal now: it goes when both sides have detached, even
            // if this process dies.
            shmctl(id, IPC_RMID, nullptr);
            if (attached) {
                buffer.image = image;
                buffer.shared = true;
                buffer.width = width;
                buffer.height = height;
                return true;
            }
            shmdt(address);
        } else if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
        if (image != nullptr) {
            image->data = nullptr;
            XDestroyImage(image);
        }
        // A display on another machine cannot map our memory: plain puts from now on.
        x_->shm = false;
        buffer.segment = XShmSegmentInfo{};
    }
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    char* data = static_cast<char*>(std::malloc(bytes));
    if (data == nullptr) return false;
    XImage* image =
        X().CreateImage(display, x_->visual, 24, ZPixmap, 0, data, static_cast<unsigned>(width),
                        static_cast<unsigned>(height), 32, 0);
    if (image == nullptr) {
        std::free(data);
        return false;
    }
    // Xlib turns the bytes round for a server of the other byte order.
    image->byte_order = HostIsLittleEndian() ? LSBFirst : MSBFirst;
    if (!Is32BitXrgb(image)) {
        XDestroyImage(image);  // frees `data` too
        return false;
    }
    buffer.image = image;
    buffer.width = width;
    buffer.height = height;
    return true;
}

void CX11PreviewWindow::FreeBuffer(Buffer& buffer) {
    if (buffer.image == nullptr) return;
    if (buffer.shared) {
        // The server handles requests in order: it finishes any put of this
        // segment before it detaches.
        X().ShmDetach(x_->display, &buffer.segment);
        buffer.image->data = nullptr;
        XDestroyImage(buffer.image);
        shmdt(buffer.segment.shmaddr);
    } else {
        XDestroyImage(buffer.image);
    }
    buffer = Buffer{};
}

void CX11PreviewWindow::Present(int index) {
    Buffer& buffer = buffers_[index];
    const unsigned w = static_cast<unsigned>(buffer.width);
    const unsigned h = static_cast<unsigned>(buffer.height);
    if (buffer.shared) {
        // Completion events tell when the server is done reading the memory.
        X().ShmPutImage(x_->display, window_, x_->gc, buffer.image, 0, 0, 0, 0, w, h, True);
        ++buffer.pending;
    } else {
        X().PutImage(x_->display, window_, x_->gc, buffer.image, 0, 0, 0, 0, w, h);
    }
    X().Flush(x_->display);
    shown_ = index;
}

bool CX11PreviewWindow::Draw(const StretchSource& image, int width, int height) {
    if (width <= 0 || height <= 0) return false;
    std::lock_guard<std::mutex> lock(lock_);
    if (!alive_) return false;
    HandleEvents();
    // The buffer not on screen first, so that an Expose meanwhile still finds
    // the previous picture whole; a buffer the server still reads is not touched.
    int index = -1;
    for (int i : {shown_ == 0 ? 1 : 0, shown_ == 0 ? 0 : 1}) {
        if (buffers_[i].pending == 0) {
            index = i;
            break;
        }
    }
    if (index < 0) return false;  // the server is behind: this frame is skipped
    Buffer& buffer = buffers_[index];
    if ((buffer.width != width || buffer.height != height) && !MakeBuffer(buffer, width, height)) {
        return false;
    }
    StretchTarget target{reinterpret_cast<uint32_t*>(buffer.image->data), width, height,
                         buffer.image->bytes_per_line / 4};
    if (!stretcher_.Stretch(image, target)) return false;
    Present(index);
    return true;
}

void CX11PreviewWindow::Place(const PreviewWindowRequest& request) {
    std::lock_guard<std::mutex> lock(lock_);
    if (topLevel_ || !alive_) return;
    unsigned long parent = 0;
    if (!X11ParentWindow(request.parent, parent)) return;
    Display* display = x_->display;
    SyncError(display);  // only errors of the requests below count
    if (parent != parent_) {
        X().ReparentWindow(display, window_, parent, request.x, request.y);
        parent_ = parent;
    }
    const int width = std::max(1, request.width);
    const int height = std::max(1, request.height);
    X().MoveResizeWindow(display, window_, request.x, request.y, static_cast<unsigned>(width),
                         static_cast<unsigned>(height));
    // The next frame is drawn at the new size without waiting for the event.
    width_ = width;
    height_ = height;
    if (SyncError(display) != Success) alive_ = false;  // the new parent is gone
}

void CX11PreviewWindow::WaitDrawn() {
    std::lock_guard<std::mutex> lock(lock_);
    X().Sync(x_->display, False);
    HandleEvents();
}

void CX11PreviewWindow::HandleEvents() {
    Display* display = x_->display;
    while (X().Pending(display) > 0) {
        XEvent event;
        X().NextEvent(display, &event);
        if (event.type == x_->shmCompletion) {
            const auto& done = reinterpret_cast<const XShmCompletionEvent&>(event);
            for (int i = 0; i < kBufferCount; ++i) {
                Buffer& buffer = buffers_[i];
                if (buffer.shared && buffer.segment.shmseg == done.shmseg && buffer.pending > 0) {
                    --buffer.pending;
                }
            }
            continue;
        }
        switch (event.type) {
            case Expose:
                // What the window lost is drawn again from the last frame.
                if (event.xexpose.window == window_ && event.xexpose.count == 0 && alive_ &&
                    shown_ >= 0 && buffers_[shown_].image != nullptr) {
                    Present(shown_);
                }
                break;
            case ConfigureNotify:
                if (event.xconfigure.window == window_) {
                    width_ = event.xconfigure.width;
                    height_ = event.xconfigure.height;
                }
                break;
            case MapNotify:
                if (event.xmap.window == window_) mapped_ = true;
                break;
            case UnmapNotify:
                if (event.xunmap.window == window_) mapped_ = false;
                break;
            case DestroyNotify:
                if (event.xdestroywindow.window == window_) alive_ = false;
                break;
            case ClientMessage:
                // The close button: the window goes, the preview keeps running
                // without it until the application closes it.
                if (static_cast<Atom>(event.xclient.data.l[0]) == x_->wmDelete && alive_) {
                    X().DestroyWindow(display, window_);
                    alive_ = false;
                }
                break;
            default:
                break;
        }
    }
}

void CX11PreviewWindow::EventLoop() {
    const int connection = ConnectionNumber(x_->display);
    while (!stop_.load()) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        poll(fds, 2, kEventPollMs);
        if ((fds[1].revents & POLLIN) != 0) {
            char drain[16];
            while (read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
        }
        if (stop_.load()) break;
        std::lock_guard<std::mutex> lock(lock_);
        HandleEvents();
    }
}

}  // namespace veltcam::platform
