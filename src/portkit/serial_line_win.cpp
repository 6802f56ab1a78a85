// A COM port through the Win32 communications API: a DCB for the speed and
// character format, COMMTIMEOUTS under which a read ends as soon as a byte is
// in, and overlapped I/O, so that the receive thread's pending read and a
// sender's write never wait for each other as they would on a handle opened
// for synchronous I/O.
#include <cstring>

#include "mira/portkit_codes.h"
#include "platform/win32.h"
#include "portkit/line.h"

namespace mira::portkit {
namespace {

// How long one read stays pending when nothing arrives. The receive thread
// looks at its port more often than that (its own wait is shorter); the read
// simply stays pending across those looks.
constexpr DWORD kReadTotalMs = 100;
// A write that has not gone out in this time has met a stuck line.
constexpr DWORD kWriteBoundMs = 3000;

class SerialLine final : public Line {
public:
    explicit SerialLine(HANDLE handle) : handle_(handle) {
        readOv_.hEvent = readDone_.Handle();
        writeOv_.hEvent = writeDone_.Handle();
    }

    ~SerialLine() override {
        if (pending_) {
            // The read's OVERLAPPED must outlive it: cancel and wait it out.
            ::CancelIoEx(handle_, &readOv_);
            DWORD ignored = 0;
            ::GetOverlappedResult(handle_, &readOv_, &ignored, TRUE);
        }
        ::CloseHandle(handle_);
    }

    bool Ready() const { return readDone_.Valid() && writeDone_.Valid(); }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = 0;
        if (!pending_) {
            readDone_.Reset();
            DWORD got = 0;
            if (::ReadFile(handle_, buffer_, sizeof buffer_, &got, &readOv_)) return Copy(got, out, capacity, count);
            if (::GetLastError() != ERROR_IO_PENDING) return Failed(::GetLastError());
            pending_ = true;
        }
        if (!readDone_.Wait(waitMs)) return ReadResult::Nothing;
        pending_ = false;
        DWORD got = 0;
        if (!::GetOverlappedResult(handle_, &readOv_, &got, FALSE)) return Failed(::GetLastError());
        return Copy(got, out, capacity, count);
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
    ReadResult Copy(DWORD got, uint8_t* out, size_t capacity, size_t* count) {
        // The buffer is no larger than what the receive thread asks for.
        const size_t n = got < capacity ? got : capacity;
        std::memcpy(out, buffer_, n);
        *count = n;
        return n > 0 ? ReadResult::Bytes : ReadResult::Nothing;
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
    win::Event readDone_, writeDone_;
    OVERLAPPED readOv_{}, writeOv_{};
    bool pending_ = false;  // the receive thread's read is outstanding
    uint8_t buffer_[512]{};
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
    // MAXDWORD, MAXDWORD, n: a read returns at once with the bytes waiting,
    // else with the first byte to arrive, else empty after n ms.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadTotalMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteBoundMs;
    if (!::SetCommTimeouts(handle, &timeouts)) return fail(MIRA_PK_ERR_SETTINGS, win::ErrorText(::GetLastError()));
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
