// The termios backend of ISerialDevice.
//
// The device is opened non-blocking and taken exclusively (an advisory lock
// for other programs that lock ttys, and TIOCEXCL for the rest), so a second
// Quillet or a terminal program cannot interleave bytes with a running
// upload. The monitor thread waits with poll() on the device and on a wake
// descriptor (an eventfd, or a pipe where there is none).
#ifndef _WIN32

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include "serial/SerialDevice.h"

namespace quillet {
namespace {

// The system's text for `error`; safe on the monitor threads of several
// links at once (std::strerror may share one buffer).
std::string ErrorText(int error) { return std::generic_category().message(error); }

// Pseudo-terminals whose far end is quillet-sim, which keeps the line's
// parity itself (it knows when the bootloader listens at 8E1): the simulator
// names them in this variable when it starts, and the program opens them
// without the parity bit the kernel refuses. Nothing else gets that leave.
constexpr const char* kSimulatorPtysVariable = "QUILLET_SIM_PTYS";

bool SimulatorKeepsParity(const std::string& path) {
    const char* list = std::getenv(kSimulatorPtysVariable);
    if (!list || path.empty()) return false;
    const std::string all = std::string(",") + list + ",";
    return all.find("," + path + ",") != std::string::npos;
}

// The character size flag of 5 to 8 data bits; 0 for any other count.
tcflag_t CharacterSizeFor(unsigned dataBits) {
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return 0;
    }
}

// The parity flags of a parity character; false for an unknown one.
bool ParityFor(char parityChar, tcflag_t& parity) {
    switch (parityChar) {
    case 'N': case 'n': parity = 0; return true;
    case 'E': case 'e': parity = PARENB; return true;
    case 'O': case 'o': parity = PARENB | PARODD; return true;
#ifdef CMSPAR
    case 'M': case 'm': parity = PARENB | PARODD | CMSPAR; return true;
    case 'S': case 's': parity = PARENB | CMSPAR; return true;
#endif
    default: return false;
    }
}

// RTS on (a pseudo-terminal has no modem lines: no harm done), and low
// latency where the driver offers it.
void RaiseRtsAndLowLatency(int fd) {
    int rts = TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIS, &rts);
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    // USB adapters otherwise hold a short reply for up to 16 ms.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &serial);
    }
#endif
}

bool SpeedFor(unsigned baud, speed_t& speed) {
    struct Entry {
        unsigned baud;
        speed_t speed;
    };
    static const Entry kSpeeds[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const Entry& e : kSpeeds)
        if (e.baud == baud) {
            speed = e.speed;
            return true;
        }
    return false;
}

// Where a device is gone for good: the kernel hung the tty up, or the
// adapter has been unplugged.
bool MeansGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

class PosixSerialDevice final : public ISerialDevice {
public:
    PosixSerialDevice() {
#ifdef __linux__
        m_wakeRead = m_wakeWrite = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
        int fds[2];
        if (::pipe(fds) == 0) {
            for (int fd : fds) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
            m_wakeRead = fds[0];
            m_wakeWrite = fds[1];
        }
#endif
    }

    ~PosixSerialDevice() override {
        Close();
        if (m_wakeRead >= 0) ::close(m_wakeRead);
        if (m_wakeWrite >= 0 && m_wakeWrite != m_wakeRead) ::close(m_wakeWrite);
    }

    OpenStatus Open(const std::string& path) override {
        Close();
        m_problem.clear();
        m_path = path;
        if (path.empty()) return OpenStatus::Absent;
        // Only a terminal is a serial port. Anything else (a file named in
        // the port map by mistake, a folder, /dev/null) is refused before it
        // is opened, and again after the open in case the path changed in
        // between: no byte of a search frame may land in a file.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) return NotSerial(path, st.st_mode);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                m_problem = PermissionHint(path);
                return OpenStatus::Denied;
            }
            return errno == EBUSY ? OpenStatus::Busy : OpenStatus::Absent;
        }
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
            ::close(fd);
            return NotSerial(path, st.st_mode);
        }
        // Held by another program that locks it (another Quillet).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return OpenStatus::Busy;
        }
        // Later opens by anyone else fail with EBUSY.
        m_exclusive = ::ioctl(fd, TIOCEXCL) == 0;
        m_fd = fd;
        m_isPty = LooksLikePty(fd, path);
        return OpenStatus::Opened;
    }

    std::string Problem() const override { return m_problem; }

    std::optional<SerialFailure> Configure(const LineSettings& line) override {
        // A new line setting must not catch bytes on their way out.
        if (const IoResult drained = Drain(); drained.failure) return drained.failure;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return SerialFailure{"GetCommState()", ErrorText(errno)};

        speed_t speed{};
        const tcflag_t size = CharacterSizeFor(line.dataBits);
        tcflag_t parity = 0;
        const bool parityKnown = ParityFor(line.parity, parity);
        if (!SpeedFor(line.baud, speed) || size == 0 || !parityKnown ||
            (line.stopBits != 1 && line.stopBits != 2))
            return SerialFailure{"BuildCommDCB()", ErrorText(EINVAL)};

        // Raw bytes both ways, no flow control, receiver on, modem lines
        // ignored. VMIN 1 / VTIME 0 on a non-blocking descriptor: a read
        // returns what is waiting or EAGAIN, and 0 only when the tty has been
        // hung up.
        ::cfmakeraw(&tio);
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
        tcflag_t parityBits = PARENB | PARODD;
#ifdef CMSPAR
        parityBits |= CMSPAR;
#endif
#ifdef CRTSCTS
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | parityBits);
        tio.c_cflag |= size | parity | CLOCAL | CREAD;
        if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);

        const bool simulated = m_isPty && parity != 0 && SimulatorKeepsParity(m_path);
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
            const int error = errno;
            // A pseudo-terminal cannot carry parity: the kernel refuses a
            // change that asks for it. Only where the simulator said it keeps
            // the parity itself is the line set up without it.
            if (error != EINVAL || !simulated) return SerialFailure{"SetCommState()", SetupError(error, parity)};
            tio.c_cflag &= ~parityBits;
            if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) return SerialFailure{"SetCommState()", ErrorText(errno)};
        }
        // tcsetattr succeeds when any part of the change was made: read the
        // line back and report a setting the driver refused.
        termios now{};
        if (::tcgetattr(m_fd, &now) != 0) return SerialFailure{"GetCommState()", ErrorText(errno)};
        const bool refused = (now.c_cflag & CSIZE) != size || (now.c_cflag & CSTOPB) != (tio.c_cflag & CSTOPB) ||
                             ::cfgetospeed(&now) != speed;
        const bool parityRefused = (now.c_cflag & parityBits) != parity;
        if (refused || (parityRefused && !simulated))
            return SerialFailure{"SetCommState()", SetupError(EINVAL, parityRefused ? parity : 0)};
        m_lineInUse = std::to_string(line.baud) + " " + std::to_string(line.dataBits) +
                      (parityRefused ? 'N' : static_cast<char>(std::toupper(static_cast<unsigned char>(line.parity)))) +
                      std::to_string(line.stopBits);
        if (parityRefused)
            m_lineInUse += std::string(" (") + line.parity + " asked; the simulator keeps the parity, " +
                           kSimulatorPtysVariable + ")";

        RaiseRtsAndLowLatency(m_fd);
        return std::nullopt;
    }

    bool IsOpen() const override { return m_fd >= 0; }

    std::string LineInUse() const override { return m_lineInUse; }

    std::string ParityProblem(char parityChar) const override {
        if (m_fd < 0 || !m_isPty || parityChar == 'N' || SimulatorKeepsParity(m_path)) return {};
        return m_path + " is a pseudo-terminal, which cannot switch the instrument's port to 8" +
               std::string(1, parityChar) + "1: use rfc2217:// or a local port";
    }

    void PurgeInput() override {
        if (m_fd >= 0) ::tcflush(m_fd, TCIFLUSH);
    }

    WaitResult WaitForInput() override {
        for (;;) {
            pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {m_fd, POLLIN, 0}};
            const int n = ::poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                m_lastFailure = {"ReadFile()", ErrorText(errno)};
                return WaitResult::Gone;
            }
            if (fds[0].revents & POLLIN) return WaitResult::Woken;
            // Bytes still waiting are read before a hang-up is taken as such.
            if (fds[1].revents & POLLIN) return WaitResult::Input;
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                m_lastFailure = {"ReadFile()",
                                 ErrorText((fds[1].revents & POLLNVAL) ? EBADF : EIO)};
                return WaitResult::Gone;
            }
        }
    }

    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override {
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, capacity);
            if (n > 0) return {IoStatus::Done, static_cast<std::size_t>(n), std::nullopt};
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return {IoStatus::Done, 0, std::nullopt};
            // 0 on a tty in this mode: hung up. Any other failure of a tty
            // read does not mend itself either.
            return {IoStatus::Gone, 0, SerialFailure{"ReadFile()", ErrorText(n == 0 ? EIO : errno)}};
        }
    }

    IoResult Write(const std::uint8_t* bytes, std::size_t length,
                   const std::function<bool()>& stop) override {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(m_fd, bytes + done, length - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return WriteFailure(errno, done);
            // The output buffer is full: wait for room or a wake-up.
            pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {m_fd, POLLOUT, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return WriteFailure(errno, done);
            if (fds[0].revents & POLLIN) {
                ClearWake();
                if (stop && stop()) return {IoStatus::Stopped, done, std::nullopt};
            }
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
                return {IoStatus::Gone, done, SerialFailure{"WriteFile()", ErrorText(EIO)}};
        }
        // Done when the kernel has the bytes; Drain waits for the line.
        m_unsent = m_unsent || done > 0;
        return {IoStatus::Done, done, std::nullopt};
    }

    IoResult Drain() override {
        if (!m_unsent) return {};
        while (::tcdrain(m_fd) != 0) {
            if (errno == EINTR) continue;
            return WriteFailure(errno, 0);
        }
        m_unsent = false;
        return {};
    }

    void ClearWake() override {
        std::uint64_t value;
        while (::read(m_wakeRead, &value, sizeof value) > 0) {
        }
    }

    void Close() override {
        if (m_fd < 0) return;
        // What was written goes out before the port is let go (a gone
        // device fails at once).
        (void)Drain();
        // The exclusive flag belongs to the tty, not to this descriptor: give
        // it back so the port can be opened again while the tty lives on.
        if (m_exclusive) ::ioctl(m_fd, TIOCNXCL);
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
        m_exclusive = false;
        m_unsent = false;
    }

    SerialFailure LastFailure() const override { return m_lastFailure; }

    void Wake() override {
        const std::uint64_t one = 1;
        // Full counter or pipe: a wake-up is pending already.
        (void)!::write(m_wakeWrite, &one, m_wakeRead == m_wakeWrite ? sizeof one : 1);
    }

private:
    IoResult WriteFailure(int error, std::size_t done) {
        return {MeansGone(error) ? IoStatus::Gone : IoStatus::Failed, done,
                SerialFailure{"WriteFile()", ErrorText(error)}};
    }

    static bool LooksLikePty(int fd, const std::string& path) {
        if (path.rfind("/dev/pts/", 0) == 0) return true;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
#ifdef __linux__
        // Unix98 pty slaves (136..143) and the old BSD ones (3).
        const unsigned maj = major(st.st_rdev);
        return (maj >= 136 && maj <= 143) || maj == 3;
#else
        return false;
#endif
    }

    // Why the line could not be set: a pseudo-terminal's parity said in
    // words, anything else as the system says it.
    std::string SetupError(int error, tcflag_t parity) const {
        if (m_isPty && parity != 0)
            return m_path + " is a pseudo-terminal, which cannot carry parity (" + ErrorText(error) +
                   "); use rfc2217:// or a local port";
        return ErrorText(error);
    }

    OpenStatus NotSerial(const std::string& path, mode_t mode) {
        const char* what = S_ISREG(mode)    ? "a regular file"
                           : S_ISDIR(mode)  ? "a folder"
                           : S_ISFIFO(mode) ? "a FIFO"
                           : S_ISSOCK(mode) ? "a socket"
                           : S_ISBLK(mode)  ? "a block device"
                                            : "a device that is no terminal";
        m_problem = path + " is not a serial port (it is " + what + "); nothing was written to it.";
        return OpenStatus::NotSerial;
    }

    static std::string PermissionHint(const std::string& path) {
        std::string owner = "dialout";
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            // The reentrant lookup: other dialogs may open ports meanwhile.
            struct group entry {};
            struct group* g = nullptr;
            char buffer[4096];
            if (::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &g) == 0 && g && g->gr_name &&
                *g->gr_name && std::strcmp(g->gr_name, "root") != 0)
                owner = g->gr_name;
        }
        return "Permission denied on " + path +
               ": add your user to the group that owns the device (for example: sudo usermod -aG " +
               owner + " $USER), then log in again.";
    }

    int m_fd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    bool m_exclusive = false;
    bool m_isPty = false;
    bool m_unsent = false;  // written since the last drain
    std::string m_path;
    std::string m_problem;
    std::string m_lineInUse;
    SerialFailure m_lastFailure;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeLocalSerialDevice() { return std::make_unique<PosixSerialDevice>(); }

} // namespace quillet

#endif // !_WIN32
