// A COM port through the Win32 communications API: a DCB for the speed and
// character format, and overlapped I/O, so that the receive thread's wait for
// bytes and a sender's write never hold each other up as they would on a
// handle opened for synchronous I/O. A read takes only the bytes the input
// queue holds; the wait for more is WaitCommEvent on EV_RXCHAR.
#include <cstring>

#include "mira/portkit_codes.h"
#include "platform/win32.h"
#include "portkit/line.h"

namespace mira::portkit {
namespace {

// A write that has not gone out in this time has met a stuck line.
constexpr DWORD kWriteBoundMs = 3000;
// How long closing waits for the receive thread's WaitCommEvent to end.
constexpr DWORD kEndWaitMs = 1000;

class SerialLine final : public Line {
public:
    explicit SerialLine(HANDLE handle) : handle_(handle) {
        readOv_.hEvent = readDone_.Handle();
        waitOv_.hEvent = arrived_.Handle();
        writeOv_.hEvent = writeDone_.Handle();
    }

    ~SerialLine() override {
        // The wait's OVERLAPPED must outlive it. A new event mask ends a
        // pending WaitCommEvent at once; closing the handle ends it too.
        if (waiting_) {
            ::SetCommMask(handle_, 0);
            ::CancelIoEx(handle_, &waitOv_);
            waiting_ = !arrived_.Wait(kEndWaitMs);
        }
        ::CloseHandle(handle_);
        if (waiting_) arrived_.Wait(kEndWaitMs);
    }

    bool Ready() const { return readDone_.Valid() && arrived_.Valid() && writeDone_.Valid(); }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = 0;
        DWORD waiting = 0;
        if (!InQueue(&waiting)) return ReadResult::Closed;
        if (waiting == 0) {
            if (!waiting_) {
                arrived_.Reset();
                if (!::WaitCommEvent(handle_, &events_, &waitOv_)) {
                    if (::GetLastError() != ERROR_IO_PENDING) return Failed(::GetLastError());
                    waiting_ = true;
                }
            }
            // A byte that came in just before the wait started may not
            // raise the event: the input queue tells.
            if (!InQueue(&waiting)) return ReadResult::Closed;
            if (waiting == 0 && waiting_) {
                if (!arrived_.Wait(waitMs)) return ReadResult::Nothing;
                DWORD ignored = 0;
                if (!::GetOverlappedResult(handle_, &waitOv_, &ignored, FALSE)) {
                    // Wine may set the event a moment before the wait's result.
                    if (::GetLastError() == ERROR_IO_INCOMPLETE) return ReadResult::Nothing;
                    waiting_ = false;
                    return Failed(::GetLastError());
                }
                waiting_ = false;
                if (!InQueue(&waiting)) return ReadResult::Closed;
            }
            if (waiting == 0) return ReadResult::Nothing;
        }
        return Take(waiting, out, capacity, count);
    }

    int32_t Write(const uint8_t* bytes, size_t count) override {
        win::Held hold(writeLock_);
        size_t done = 0;
        while (done < count) {
            writeDone_.Reset();
            DWORD wrote = 0;
            const DWORD chunk = static_cast<DWORD>(count - done);
            if (!::WriteFile(handle_, bytes + done, chunk, &wrote, &writeOv_)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_IO_PENDING) return WriteFailed(error);
                if (!writeDone_.Wait(kWriteBoundMs)) {
                    ::CancelIoEx(handle_, &writeOv_);
                    ::GetOverlappedResult(handle_, &writeOv_, &wrote, TRUE);
                    return MIRA_PK_ERR_SEND;
                }
                if (!::GetOverlappedResult(handle_, &writeOv_, &wrote, FALSE)) return WriteFailed(::GetLastError());
            }
            if (wrote == 0) return MIRA_PK_ERR_SEND;
            done += wrote;
        }
        return 0;
    }

    bool OutputDrained() override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status)) return true;
        return status.cbOutQue == 0;
    }

    void DiscardInput() override { ::PurgeComm(handle_, PURGE_RXCLEAR); }

private:
    // How many received bytes wait in the driver's input queue.
    bool InQueue(DWORD* waiting) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status)) return false;
        *waiting = status.cbInQue;
        return true;
    }

    // Reads bytes known to be waiting, so the read ends at once whatever a
    // driver makes of the read time-outs.
    ReadResult Take(DWORD waiting, uint8_t* out, size_t capacity, size_t* count) {
        readDone_.Reset();
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(waiting < capacity ? waiting : capacity);
        if (!::ReadFile(handle_, out, ask, &got, &readOv_)) {
            if (::GetLastError() != ERROR_IO_PENDING) return Failed(::GetLastError());
            if (!::GetOverlappedResult(handle_, &readOv_, &got, TRUE)) return Failed(::GetLastError());
        }
        *count = got;
        return got > 0 ? ReadResult::Bytes : ReadResult::Nothing;
    }

    // A read cut short by a purge passes; anything else means the device is
    // gone (an adapter pulled out, the far end of a virtual port closed).
    static ReadResult Failed(DWORD error) {
        return error == ERROR_OPERATION_ABORTED ? ReadResult::Nothing : ReadResult::Closed;
    }

    static int32_t WriteFailed(DWORD error) {
        switch (error) {
            case ERROR_INVALID_HANDLE:
            case ERROR_BAD_COMMAND:
            case ERROR_DEVICE_REMOVED:
            case ERROR_DEV_NOT_EXIST:
            case ERROR_ACCESS_DENIED:
            case ERROR_GEN_FAILURE:
                return MIRA_PK_ERR_CLOSED;
            default:
                return MIRA_PK_ERR_SEND;
        }
    }

    HANDLE handle_;
    win::Event readDone_, arrived_, writeDone_;
    OVERLAPPED readOv_{}, waitOv_{}, writeOv_{};
    DWORD events_ = 0;
    bool waiting_ = false;  // the receive thread's WaitCommEvent is outstanding
    win::Lock writeLock_;
};

int32_t OpenCode(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:  // a COM port open in another program
        case ERROR_SHARING_VIOLATION:
            return MIRA_PK_ERR_BUSY;
        default:
            return MIRA_PK_ERR_NO_DEVICE;
    }
}

// "COM3" is opened as \\.\COM3, which also reaches ports above COM9; a name
// that is already a device path is taken as it is.
std::wstring DevicePath(const std::string& name) {
    const std::wstring wide = win::Widen(name);
    if (wide.rfind(L"\\\\", 0) == 0) return wide;
    return L"\\\\.\\" + wide;
}

}  // namespace

std::unique_ptr<Line> OpenSerial(const LineSettings& s, int32_t* code, std::string* why) {
    const HANDLE handle = ::CreateFileW(DevicePath(s.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        *code = OpenCode(error);
        *why = s.path + ": " + win::ErrorText(error);
        return nullptr;
    }
    auto fail = [&](int32_t c, const std::string& reason) {
        ::CloseHandle(handle);
        *code = c;
        *why = s.path + ": " + reason;
        return nullptr;
    };
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) return fail(MIRA_PK_ERR_SETTINGS, "not a serial device");
    dcb.BaudRate = s.baud;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    dcb.Parity = s.parity == 0 ? NOPARITY : s.parity == 1 ? ODDPARITY : EVENPARITY;
    dcb.fParity = s.parity != 0;
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // Raw bytes: no flow control of either kind, no character substitution.
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(handle, &dcb)) return fail(MIRA_PK_ERR_SETTINGS, win::ErrorText(::GetLastError()));
    // MAXDWORD, 0, 0: a read returns at once with the bytes waiting, if any.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = kWriteBoundMs;
    if (!::SetCommTimeouts(handle, &timeouts) || !::SetCommMask(handle, EV_RXCHAR))
        return fail(MIRA_PK_ERR_SETTINGS, win::ErrorText(::GetLastError()));
    ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    auto line = std::make_unique<SerialLine>(handle);
    if (!line->Ready()) {
        *code = MIRA_PK_ERR_RESOURCES;
        *why = s.path + ": no event for the port";
        return nullptr;
    }
    *code = 0;
    why->clear();
    return line;
}

}  // namespace mira::portkit
