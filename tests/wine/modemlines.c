/* The modem-line requests wine makes on a serial port, answered for
 * pseudo-terminals (loaded with LD_PRELOAD into wine for the tests).
 *
 * wine asks for the modem lines (TIOCMGET) while it waits for comm events
 * and sets them (TIOCMSET, TIOCMBIS, TIOCMBIC) when it configures a port. A
 * pseudo-terminal has no modem lines and answers ENOTTY, and wine then ends
 * every WaitCommEvent with ERROR_OPERATION_ABORTED. Here those four requests
 * succeed on pseudo-terminals, reporting DSR, CTS and CD on; every other
 * request and descriptor goes to the C library unchanged.
 *
 * With QUILLET_MODEMLINES_FAIL_EVERY=N every Nth query of the lines
 * (TIOCMGET) on a pseudo-terminal fails with EIO, as a line that hiccups
 * for a moment: wine then ends the WaitCommEvent under way with
 * ERROR_OPERATION_ABORTED on a port that is still there. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Unix98 pseudo-terminal slaves (136..143) and masters (5:2, the ptmx clones). */
static int is_pty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    const unsigned maj = major(st.st_rdev);
    return (maj >= 136 && maj <= 143) || (maj == 5 && minor(st.st_rdev) == 2);
}

/* True when this query of the lines is one that is to fail. */
static int hiccup(void) {
    static atomic_long calls;
    static long every = -1;
    if (every < 0) {
        const char* text = getenv("QUILLET_MODEMLINES_FAIL_EVERY");
        every = text ? atol(text) : 0;
    }
    return every > 0 && (atomic_fetch_add(&calls, 1) + 1) % every == 0;
}

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_fn real;
    if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (!is_pty(fd)) break;
        if (request == TIOCMGET && hiccup()) {
            errno = EIO;
            return -1;
        }
        if (request == TIOCMGET && arg) *(int*)arg = TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
        return 0;
    default:
        break;
    }
    return real(fd, request, arg);
}
