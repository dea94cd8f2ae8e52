/* A test-only kernel driver for the camera's device interface. It puts cameras on a
 * root-enumerated bus (children with the USB device ids the transport parses from the
 * interface path) and forwards every I/O control request on them to the test process
 * through an inverted call on its control device: the test process runs the
 * simulated camera and posts each completion back. The driver answers nothing by
 * itself, so the camera behind the real Win32 path is the simulator, unchanged.
 *
 * Nothing blocks in dispatch (a host may run all of a driver's dispatch on one
 * thread): requests are queued and completed when their completion is posted, when
 * they are cancelled, when their handle is closed or when their camera goes.
 *
 * Under Wine, METHOD_NEITHER buffers are copies made at dispatch and copied back at
 * completion (only Information bytes, nothing on an error status), and a handle close
 * comes without a cleanup request while requests are still pending: the close
 * completes the handle's requests as cancelled. */
#include <ntddk.h>

#include "TestDriverProtocol.h"

/* {328184c5-93e6-49b7-94b8-2ada13aabb39}: the camera's device-interface class. */
static const GUID kCameraInterface = {
    0x328184c5, 0x93e6, 0x49b7, {0x94, 0xb8, 0x2a, 0xda, 0x13, 0xaa, 0xbb, 0x39}};

#define POOL_TAG 0x74635456u /* 'VTct' */

enum DeviceKind { KIND_BUS = 1, KIND_CAMERA = 2, KIND_CONTROL = 3 };

typedef struct {
    int kind;
    unsigned int camera;      /* KIND_CAMERA */
    DEVICE_OBJECT* lower;     /* KIND_BUS: the root device below */
} DEVICE_EXTENSION;

typedef struct {
    DEVICE_OBJECT* pdo;       /* null while unplugged */
    int present;              /* reported in the bus relations */
    unsigned int generation;  /* handles of an earlier plug stay dead */
    unsigned short vendorId, productId;
    char serial[32];
    UNICODE_STRING link;      /* registered interface, empty when none */
    int linkEnabled;
} CAMERA;

/* A camera request waiting for its completion. */
typedef struct {
    LIST_ENTRY link;
    unsigned long long id;
    unsigned long long handle;
    unsigned int camera;
    IRP* irp;
    struct MESSAGE_T* message; /* still queued for the host, or null once pulled */
} PENDING;

typedef struct MESSAGE_T {
    LIST_ENTRY link;
    PENDING* owner;
    unsigned int bytes;
    VCT_MESSAGE header; /* followed by the input */
} MESSAGE;

static KSPIN_LOCK g_lock;
static LIST_ENTRY g_pending;  /* PENDING */
static LIST_ENTRY g_messages; /* MESSAGE, oldest first */
static LIST_ENTRY g_pulls;    /* host's pull requests, by Tail.Overlay.ListEntry */
static CAMERA g_cameras[VCT_MAX_CAMERAS];
static DEVICE_OBJECT* g_bus;
static DEVICE_OBJECT* g_busPdo;
static DEVICE_OBJECT* g_control;
static unsigned long long g_nextId = 1;
static unsigned long long g_nextHandle = 1;
static VCT_STATS g_stats;

static void CopyBytes(void* to, const void* from, SIZE_T n) {
    unsigned char* d = (unsigned char*)to;
    const unsigned char* s = (const unsigned char*)from;
    while (n--) *d++ = *s++;
}

static void* Allocate(SIZE_T bytes) {
    unsigned char* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPool, bytes, POOL_TAG);
    SIZE_T i;
    /* By hand: the driver imports nothing but the kernel's own functions. */
    for (i = 0; p != NULL && i < bytes; ++i) p[i] = 0;
    return p;
}

static NTSTATUS Finish(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- Queues (callers hold g_lock) ------------------------------------------------- */

/* Takes a request out of the queue for completing it. False when its cancel routine
 * is about to run: that routine completes it. */
static BOOLEAN ClaimIrp(IRP* irp) { return IoSetCancelRoutine(irp, NULL) != NULL; }

static void DropMessage(MESSAGE* message) {
    RemoveEntryList(&message->link);
    ExFreePoolWithTag(message, POOL_TAG);
}

/* Hands queued messages to waiting pulls; the completed pulls go to `done`. A pull
 * whose cancel routine is about to run stays in the list for that routine. */
static void DeliverLocked(LIST_ENTRY* done) {
    LIST_ENTRY* pullEntry = g_pulls.Flink;
    while (!IsListEmpty(&g_messages) && pullEntry != &g_pulls) {
        IRP* pull = CONTAINING_RECORD(pullEntry, IRP, Tail.Overlay.ListEntry);
        LIST_ENTRY* next = pullEntry->Flink;
        MESSAGE* message;
        IO_STACK_LOCATION* stack;
        ULONG room, size;
        if (!ClaimIrp(pull)) {
            pullEntry = next;
            continue;
        }
        RemoveEntryList(pullEntry);
        message = CONTAINING_RECORD(g_messages.Flink, MESSAGE, link);
        stack = IoGetCurrentIrpStackLocation(pull);
        room = stack->Parameters.DeviceIoControl.OutputBufferLength;
        size = (ULONG)sizeof(VCT_MESSAGE) + message->header.inBytes;
        if (room < size) {
            pull->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
            pull->IoStatus.Information = 0;
        } else {
            CopyBytes(pull->AssociatedIrp.SystemBuffer, &message->header, size);
            pull->IoStatus.Status = STATUS_SUCCESS;
            pull->IoStatus.Information = size;
            if (message->owner) message->owner->message = NULL;
            DropMessage(message);
        }
        InsertTailList(done, pullEntry);
        pullEntry = next;
    }
}

/* Completions are collected under the lock and made after it (CompleteList). */
static void ToComplete(IRP* irp, NTSTATUS status, LIST_ENTRY* done) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

static void CompleteList(LIST_ENTRY* done) {
    while (!IsListEmpty(done)) {
        LIST_ENTRY* entry = RemoveHeadList(done);
        IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* Ends a pending camera request with `status`; it goes to `done` unless its cancel
 * routine is about to run, which finds it still listed and completes it. */
static void EndPendingLocked(PENDING* pending, NTSTATUS status, LIST_ENTRY* done) {
    IRP* irp = pending->irp;
    if (pending->message) {
        DropMessage(pending->message);
        pending->message = NULL;
    }
    if (!ClaimIrp(irp)) return;
    RemoveEntryList(&pending->link);
    ExFreePoolWithTag(pending, POOL_TAG);
    ToComplete(irp, status, done);
}

static void QueueMessage(MESSAGE* message) { InsertTailList(&g_messages, &message->link); }

/* ---- Cancel routines ---------------------------------------------------------------- */

static void NTAPI CancelCameraRequest(DEVICE_OBJECT* device, IRP* irp) {
    KIRQL irql;
    LIST_ENTRY* entry;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    for (entry = g_pending.Flink; entry != &g_pending; entry = entry->Flink) {
        PENDING* pending = CONTAINING_RECORD(entry, PENDING, link);
        if (pending->irp == irp) {
            RemoveEntryList(&pending->link);
            if (pending->message) DropMessage(pending->message);
            ExFreePoolWithTag(pending, POOL_TAG);
            ++g_stats.cancelled;
            KeReleaseSpinLock(&g_lock, irql);
            Finish(irp, STATUS_CANCELLED, 0);
            return;
        }
    }
    /* Already taken by a completion, which completes it. */
    KeReleaseSpinLock(&g_lock, irql);
}

static void NTAPI CancelPull(DEVICE_OBJECT* device, IRP* irp) {
    KIRQL irql;
    LIST_ENTRY* entry;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    for (entry = g_pulls.Flink; entry != &g_pulls; entry = entry->Flink) {
        if (entry == &irp->Tail.Overlay.ListEntry) {
            RemoveEntryList(entry);
            KeReleaseSpinLock(&g_lock, irql);
            Finish(irp, STATUS_CANCELLED, 0);
            return;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
}

/* ---- Cameras ------------------------------------------------------------------------- */

static unsigned long long FileHandle(FILE_OBJECT* file) {
    return file ? (unsigned long long)(ULONG_PTR)file->FsContext : 0;
}

/* A camera's requests end (the camera went, or the handle was closed). */
static void EndRequestsLocked(unsigned int camera, unsigned long long handle, NTSTATUS status,
                              LIST_ENTRY* done) {
    LIST_ENTRY* entry = g_pending.Flink;
    while (entry != &g_pending) {
        PENDING* pending = CONTAINING_RECORD(entry, PENDING, link);
        entry = entry->Flink;
        if (pending->camera != camera) continue;
        if (handle != 0 && pending->handle != handle) continue;
        if (status == STATUS_CANCELLED) {
            ++g_stats.closedWith;
        } else {
            ++g_stats.unplugged;
        }
        EndPendingLocked(pending, status, done);
    }
}

static NTSTATUS CameraRequest(DEVICE_EXTENSION* ext, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    CAMERA* camera = &g_cameras[ext->camera];
    FILE_OBJECT* file = stack->FileObject;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const void* input = (code & 3) == METHOD_NEITHER
                            ? stack->Parameters.DeviceIoControl.Type3InputBuffer
                            : irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    LIST_ENTRY done;
    MESSAGE* message;
    PENDING* pending;

    if (!camera->present || file == NULL ||
        (unsigned int)(ULONG_PTR)file->FsContext2 != camera->generation) {
        return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (inBytes > VCT_MAX_INPUT || (inBytes != 0 && input == NULL)) {
        return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    message = (MESSAGE*)Allocate(sizeof(MESSAGE) + inBytes);
    pending = (PENDING*)Allocate(sizeof(PENDING));
    if (message == NULL || pending == NULL) {
        if (message) ExFreePoolWithTag(message, POOL_TAG);
        if (pending) ExFreePoolWithTag(pending, POOL_TAG);
        return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    message->header.kind = VCT_MESSAGE_IOCTL;
    message->header.camera = ext->camera;
    message->header.handle = FileHandle(file);
    message->header.code = code;
    message->header.inBytes = inBytes;
    message->header.outBytes = outBytes;
    message->header.overlapped = (file->Flags & FO_SYNCHRONOUS_IO) ? 0 : 1;
    if (inBytes) CopyBytes(&message->header + 1, input, inBytes);
    message->owner = pending;
    pending->handle = message->header.handle;
    pending->camera = ext->camera;
    pending->irp = irp;
    pending->message = message;

    InitializeListHead(&done);
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&g_lock, &irql);
    pending->id = message->header.id = g_nextId++;
    InsertTailList(&g_pending, &pending->link);
    IoSetCancelRoutine(irp, CancelCameraRequest);
    if (irp->Cancel && ClaimIrp(irp)) {
        /* Cancelled before it was queued. */
        RemoveEntryList(&pending->link);
        ExFreePoolWithTag(pending, POOL_TAG);
        ExFreePoolWithTag(message, POOL_TAG);
        ++g_stats.cancelled;
        ToComplete(irp, STATUS_CANCELLED, &done);
    } else {
        ++g_stats.queued;
        QueueMessage(message);
        DeliverLocked(&done);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CompleteList(&done);
    return STATUS_PENDING;
}

/* The host posts a request's completion: copy its output and complete it. */
static NTSTATUS PostCompletion(IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    const VCT_COMPLETION* completion = (const VCT_COMPLETION*)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    LIST_ENTRY* entry;
    IRP* target = NULL;

    if (completion == NULL || inBytes < sizeof(VCT_COMPLETION) ||
        inBytes - sizeof(VCT_COMPLETION) < completion->information) {
        return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&g_lock, &irql);
    for (entry = g_pending.Flink; entry != &g_pending; entry = entry->Flink) {
        PENDING* pending = CONTAINING_RECORD(entry, PENDING, link);
        if (pending->id != completion->id) continue;
        if (ClaimIrp(pending->irp)) {
            target = pending->irp;
            RemoveEntryList(&pending->link);
            if (pending->message) DropMessage(pending->message);
            ExFreePoolWithTag(pending, POOL_TAG);
        }
        break;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (target == NULL) return Finish(irp, STATUS_NOT_FOUND, 0); /* cancelled meanwhile */

    {
        IO_STACK_LOCATION* targetStack = IoGetCurrentIrpStackLocation(target);
        ULONG code = targetStack->Parameters.DeviceIoControl.IoControlCode;
        ULONG room = targetStack->Parameters.DeviceIoControl.OutputBufferLength;
        void* output = (code & 3) == METHOD_NEITHER ? target->UserBuffer
                                                    : target->AssociatedIrp.SystemBuffer;
        ULONG count = completion->information < room ? completion->information : room;
        if (output == NULL) count = 0;
        if (count) CopyBytes(output, completion + 1, count);
        Finish(target, (NTSTATUS)completion->status, count);
    }
    return Finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS Pull(IRP* irp) {
    KIRQL irql;
    LIST_ENTRY done;
    InitializeListHead(&done);
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&g_lock, &irql);
    InsertTailList(&g_pulls, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelPull);
    if (irp->Cancel && ClaimIrp(irp)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        ToComplete(irp, STATUS_CANCELLED, &done);
    } else {
        DeliverLocked(&done);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CompleteList(&done);
    return STATUS_PENDING;
}

static NTSTATUS Plug(IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const VCT_PLUG* plug = (const VCT_PLUG*)irp->AssociatedIrp.SystemBuffer;
    CAMERA* camera;
    DEVICE_OBJECT* pdo;
    DEVICE_EXTENSION* ext;
    NTSTATUS status;

    if (plug == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(VCT_PLUG) ||
        plug->camera >= VCT_MAX_CAMERAS) {
        return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (g_bus == NULL) return Finish(irp, STATUS_DEVICE_NOT_READY, 0);
    camera = &g_cameras[plug->camera];
    if (camera->present) return Finish(irp, STATUS_SUCCESS, 0);
    if (camera->pdo != NULL) return Finish(irp, STATUS_DEVICE_BUSY, 0); /* removal under way */
    status = IoCreateDevice(g_bus->DriverObject, sizeof(DEVICE_EXTENSION), NULL,
                            FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return Finish(irp, status, 0);
    ext = (DEVICE_EXTENSION*)pdo->DeviceExtension;
    ext->kind = KIND_CAMERA;
    ext->camera = plug->camera;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    camera->vendorId = plug->vendorId;
    camera->productId = plug->productId;
    CopyBytes(camera->serial, plug->serial, sizeof(camera->serial));
    camera->serial[sizeof(camera->serial) - 1] = 0;
    camera->pdo = pdo;
    camera->present = 1;
    ++camera->generation;
    IoInvalidateDeviceRelations(g_busPdo, BusRelations);
    return Finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS Unplug(IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const unsigned int* which = (const unsigned int*)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    LIST_ENTRY done;
    CAMERA* camera;

    if (which == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(*which) ||
        *which >= VCT_MAX_CAMERAS) {
        return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    camera = &g_cameras[*which];
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if (camera->present) {
        camera->present = 0;
        EndRequestsLocked(*which, 0, STATUS_DEVICE_NOT_CONNECTED, &done);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CompleteList(&done);
    /* The interface goes with the device, when the bus reports it missing. */
    if (camera->linkEnabled) {
        IoSetDeviceInterfaceState(&camera->link, FALSE);
        camera->linkEnabled = 0;
    }
    if (g_busPdo) IoInvalidateDeviceRelations(g_busPdo, BusRelations);
    return Finish(irp, STATUS_SUCCESS, 0);
}

/* The host went away: every camera goes with it, and nothing stays queued for it. */
static void HostClosed(void) {
    KIRQL irql;
    LIST_ENTRY done;
    unsigned int i;
    int any = 0;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < VCT_MAX_CAMERAS; ++i) {
        if (g_cameras[i].present) {
            g_cameras[i].present = 0;
            EndRequestsLocked(i, 0, STATUS_DEVICE_NOT_CONNECTED, &done);
            any = 1;
        }
    }
    while (!IsListEmpty(&g_messages)) {
        MESSAGE* message = CONTAINING_RECORD(g_messages.Flink, MESSAGE, link);
        if (message->owner) message->owner->message = NULL;
        DropMessage(message);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CompleteList(&done);
    for (i = 0; i < VCT_MAX_CAMERAS; ++i) {
        if (g_cameras[i].linkEnabled) {
            IoSetDeviceInterfaceState(&g_cameras[i].link, FALSE);
            g_cameras[i].linkEnabled = 0;
        }
    }
    if (any && g_busPdo) IoInvalidateDeviceRelations(g_busPdo, BusRelations);
}

/* ---- Dispatch ------------------------------------------------------------------------ */

static NTSTATUS NTAPI DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_EXTENSION* ext = (DEVICE_EXTENSION*)device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (ext->kind == KIND_CAMERA) {
        CAMERA* camera = &g_cameras[ext->camera];
        KIRQL irql;
        if (!camera->present) return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        stack->FileObject->FsContext = (void*)(ULONG_PTR)g_nextHandle++;
        stack->FileObject->FsContext2 = (void*)(ULONG_PTR)camera->generation;
        ++g_stats.opened;
        KeReleaseSpinLock(&g_lock, irql);
    }
    return Finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_EXTENSION* ext = (DEVICE_EXTENSION*)device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (ext->kind == KIND_CAMERA && stack->FileObject && stack->FileObject->FsContext) {
        KIRQL irql;
        LIST_ENTRY done;
        unsigned long long handle = FileHandle(stack->FileObject);
        MESSAGE* message = (MESSAGE*)Allocate(sizeof(MESSAGE));
        InitializeListHead(&done);
        KeAcquireSpinLock(&g_lock, &irql);
        /* Wine sends no cleanup request: what is still pending ends with the close. */
        EndRequestsLocked(ext->camera, handle, STATUS_CANCELLED, &done);
        if (stack->MajorFunction == IRP_MJ_CLOSE) {
            ++g_stats.closed;
            if (message) {
                message->header.kind = VCT_MESSAGE_CLOSE;
                message->header.camera = ext->camera;
                message->header.handle = handle;
                QueueMessage(message);
                message = NULL;
                DeliverLocked(&done);
            }
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (message) ExFreePoolWithTag(message, POOL_TAG);
        CompleteList(&done);
    } else if (ext->kind == KIND_CONTROL && stack->MajorFunction == IRP_MJ_CLOSE) {
        HostClosed();
    }
    return Finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_EXTENSION* ext = (DEVICE_EXTENSION*)device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (ext->kind == KIND_CAMERA) return CameraRequest(ext, irp);
    if (ext->kind != KIND_CONTROL) return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case VCT_IOCTL_PULL:
            return Pull(irp);
        case VCT_IOCTL_COMPLETE:
            return PostCompletion(irp);
        case VCT_IOCTL_PLUG:
            return Plug(irp);
        case VCT_IOCTL_UNPLUG:
            return Unplug(irp);
        case VCT_IOCTL_STATS: {
            KIRQL irql;
            if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VCT_STATS)) {
                return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            KeAcquireSpinLock(&g_lock, &irql);
            CopyBytes(irp->AssociatedIrp.SystemBuffer, &g_stats, sizeof(g_stats));
            KeReleaseSpinLock(&g_lock, irql);
            return Finish(irp, STATUS_SUCCESS, sizeof(VCT_STATS));
        }
        default:
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- Plug and play ------------------------------------------------------------------- */

static WCHAR* MultiString(const char* a, const char* b) {
    /* "a\0b\0\0" (b may be null), as a pool string the caller frees. */
    SIZE_T la = 0, lb = 0, i;
    WCHAR* text;
    while (a[la]) ++la;
    if (b)
        while (b[lb]) ++lb;
    text = (WCHAR*)ExAllocatePoolWithTag(PagedPool, (la + lb + 3) * sizeof(WCHAR), POOL_TAG);
    if (text == NULL) return NULL;
    for (i = 0; i < la; ++i) text[i] = (WCHAR)a[i];
    text[la] = 0;
    for (i = 0; i < lb; ++i) text[la + 1 + i] = (WCHAR)b[i];
    text[la + 1 + lb] = 0;
    text[la + 2 + lb] = 0;
    return text;
}

static void HexId(char* at, unsigned short value) {
    static const char digits[] = "0123456789ABCDEF";
    int i;
    for (i = 0; i < 4; ++i) at[i] = digits[(value >> (12 - 4 * i)) & 15];
}

static NTSTATUS CameraPnp(DEVICE_EXTENSION* ext, DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    CAMERA* camera = &g_cameras[ext->camera];
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;

    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            /* USB\VID_xxxx&PID_xxxx, instance = the serial: the interface path then
             * reads \\?\usb#vid_xxxx&pid_xxxx#serial#{class}. */
            char id[] = "USB\\VID_0000&PID_0000";
            HexId(id + 8, camera->vendorId);
            HexId(id + 17, camera->productId);
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    information = (ULONG_PTR)MultiString(id, NULL);
                    break;
                case BusQueryHardwareIDs:
                    information = (ULONG_PTR)MultiString(id, NULL);
                    break;
                case BusQueryCompatibleIDs:
                    /* Without a compatible id the device is not set up at all. */
                    information = (ULONG_PTR)MultiString("USB\\Class_FF", NULL);
                    break;
                case BusQueryInstanceID:
                    information = (ULONG_PTR)MultiString(camera->serial, NULL);
                    break;
                default:
                    return Finish(irp, status, information);
            }
            status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->RawDeviceOK = 1; /* runs without a function driver */
            caps->SurpriseRemovalOK = 1;
            caps->Removable = 1;
            caps->UniqueID = 1;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_START_DEVICE:
            if (camera->link.Buffer == NULL) {
                status = IoRegisterDeviceInterface(device, &kCameraInterface, NULL, &camera->link);
                if (!NT_SUCCESS(status)) break;
            }
            status = IoSetDeviceInterfaceState(&camera->link, TRUE);
            camera->linkEnabled = NT_SUCCESS(status);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                DEVICE_RELATIONS* relations =
                    (DEVICE_RELATIONS*)ExAllocatePoolWithTag(PagedPool, sizeof(*relations), POOL_TAG);
                if (relations == NULL) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = device;
                ObReferenceObject(device);
                information = (ULONG_PTR)relations;
                status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE: {
            KIRQL irql;
            LIST_ENTRY done;
            InitializeListHead(&done);
            KeAcquireSpinLock(&g_lock, &irql);
            EndRequestsLocked(ext->camera, 0, STATUS_DEVICE_NOT_CONNECTED, &done);
            KeReleaseSpinLock(&g_lock, irql);
            CompleteList(&done);
            if (camera->linkEnabled) {
                IoSetDeviceInterfaceState(&camera->link, FALSE);
                camera->linkEnabled = 0;
            }
            status = STATUS_SUCCESS;
            if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && !camera->present &&
                camera->pdo == device) {
                /* Reported missing: the device goes for good. A replug makes a new one
                 * with the same ids, which gets the same interface path. */
                if (camera->link.Buffer) RtlFreeUnicodeString(&camera->link);
                camera->link.Buffer = NULL;
                camera->pdo = NULL;
                Finish(irp, status, 0);
                IoDeleteDevice(device);
                return status;
            }
            break;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    return Finish(irp, status, information);
}

static NTSTATUS BusPnp(DEVICE_EXTENSION* ext, DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT* lower = ext->lower;

    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        ULONG count = 0, i;
        DEVICE_RELATIONS* relations;
        for (i = 0; i < VCT_MAX_CAMERAS; ++i) count += g_cameras[i].present ? 1 : 0;
        relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(DEVICE_OBJECT*), POOL_TAG);
        if (relations == NULL) return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        relations->Count = 0;
        for (i = 0; i < VCT_MAX_CAMERAS; ++i) {
            if (!g_cameras[i].present) continue;
            relations->Objects[relations->Count++] = g_cameras[i].pdo;
            ObReferenceObject(g_cameras[i].pdo);
        }
        irp->IoStatus.Information = (ULONG_PTR)relations;
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_START_DEVICE ||
               stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        NTSTATUS status;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        g_bus = NULL;
        g_busPdo = NULL;
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_EXTENSION* ext = (DEVICE_EXTENSION*)device->DeviceExtension;
    if (ext->kind == KIND_CAMERA) return CameraPnp(ext, device, irp);
    if (ext->kind == KIND_BUS) return BusPnp(ext, device, irp);
    return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchOther(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_EXTENSION* ext = (DEVICE_EXTENSION*)device->DeviceExtension;
    if (ext->kind == KIND_BUS) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
    return Finish(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    DEVICE_OBJECT* fdo;
    DEVICE_EXTENSION* ext;
    NTSTATUS status;
    if (g_bus != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;
    status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0,
                            FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = (DEVICE_EXTENSION*)fdo->DeviceExtension;
    ext->kind = KIND_BUS;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    g_bus = fdo;
    g_busPdo = pdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void NTAPI DriverUnload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    (void)driver;
    RtlInitUnicodeString(&link, VCT_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_control) IoDeleteDevice(g_control);
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    DEVICE_EXTENSION* ext;
    (void)registry;

    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_pending);
    InitializeListHead(&g_messages);
    InitializeListHead(&g_pulls);

    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = DriverUnload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchOther;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;

    RtlInitUnicodeString(&name, VCT_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, VCT_CONTROL_LINK_NAME);
    status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0,
                            FALSE, &g_control);
    if (!NT_SUCCESS(status)) return status;
    ext = (DEVICE_EXTENSION*)g_control->DeviceExtension;
    ext->kind = KIND_CONTROL;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
