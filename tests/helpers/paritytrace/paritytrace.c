/* tcsetattr in front of the C library's, for pseudo-terminal slaves only:
 * appends one line per request to the file named by PARITYTRACE_LOG,
 *   tcsetattr fd=<fd> tty=<path> cflag=<hex> parenb=<0|1> parodd=<0|1> cs8=<0|1> cstopb=<0|1>
 * and passes the request on without PARENB and PARODD. Other descriptors
 * are passed on untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

typedef int (*tcsetattr_fn)(int, int, const struct termios*);

static tcsetattr_fn real_tcsetattr(void) {
    static tcsetattr_fn real;
    if (!real) real = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    return real;
}

/* Unix98 pseudo-terminal slaves have the majors 136 to 143. */
static int is_pty_slave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static void log_request(int fd, tcflag_t cflag) {
    const char* path = getenv("PARITYTRACE_LOG");
    if (!path || !*path) return;
    char tty[128] = "?";
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, tty, sizeof tty - 1);
    if (n > 0) tty[n] = '\0';
    char line[256];
    int len = snprintf(line, sizeof line,
                       "tcsetattr fd=%d tty=%s cflag=%lx parenb=%d parodd=%d cs8=%d cstopb=%d\n", fd, tty,
                       (unsigned long)cflag, (cflag & PARENB) ? 1 : 0, (cflag & PARODD) ? 1 : 0,
                       (cflag & CSIZE) == CS8 ? 1 : 0, (cflag & CSTOPB) ? 1 : 0);
    if (len <= 0) return;
    if ((size_t)len >= sizeof line) len = sizeof line - 1;
    int out = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) return;
    /* One write per line: lines of several threads do not interleave. */
    ssize_t w = write(out, line, (size_t)len);
    (void)w;
    close(out);
}

int tcsetattr(int fd, int optional_actions, const struct termios* tio) {
    tcsetattr_fn real = real_tcsetattr();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    if (!tio || !is_pty_slave(fd)) return real(fd, optional_actions, tio);
    const int saved = errno;
    log_request(fd, tio->c_cflag);
    errno = saved;
    struct termios stripped = *tio;
    stripped.c_cflag &= ~(tcflag_t)(PARENB | PARODD);
    return real(fd, optional_actions, &stripped);
}
