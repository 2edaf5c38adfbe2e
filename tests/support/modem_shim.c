/* Test-only modem lines for pseudo-terminals. A pseudo-terminal has no modem
   lines: TIOCMGET and its kin fail with ENOTTY. Preloaded (LD_PRELOAD) into
   a test that drives the real POSIX device layer against odu-station-sim on
   a pseudo-terminal, this library answers those ioctls on pseudo-terminal
   slaves from the state file named by ODU_MODEM_STATE, which the simulator
   keeps: the station's DTR shows as DSR and carrier detect, its RTS as CTS,
   and the DTR and RTS the test sets are recorded there. Every other call,
   and every call when the variable is unset or the file is not ready yet,
   goes to the real ioctl. It is never linked into a program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "sim/modem_state.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl(void) {
  static ioctl_fn real;
  ioctl_fn f = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
  if (!f) {
    void* symbol = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&f, &symbol, sizeof f);
    __atomic_store_n(&real, f, __ATOMIC_RELEASE);
  }
  return f;
}

/* Unix98 pseudo-terminal slaves: character devices of majors 136 to 143. */
static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* The mapped state for `path`, or NULL while it cannot be had (then the
   call is passed on). A mapping that worked is kept for the process. */
static struct odu_modem_state* state_for(const char* path) {
  static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  static char mapped_path[4096];
  static struct odu_modem_state* mapped;
  struct odu_modem_state* result = NULL;
  pthread_mutex_lock(&mu);
  if (mapped && strcmp(mapped_path, path) == 0) {
    result = mapped;
  } else if (strlen(path) < sizeof mapped_path) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size >= sizeof(struct odu_modem_state)) {
      void* map = mmap(NULL, sizeof(struct odu_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (map != MAP_FAILED) {
        struct odu_modem_state* s = map;
        if (__atomic_load_n(&s->magic, __ATOMIC_SEQ_CST) == ODU_MODEM_STATE_MAGIC) {
          if (mapped) munmap(mapped, sizeof *mapped);
          mapped = s;
          strcpy(mapped_path, path);
          result = s;
        } else {
          munmap(map, sizeof(struct odu_modem_state));
        }
      }
    }
    if (fd >= 0) close(fd);
  }
  pthread_mutex_unlock(&mu);
  return result;
}

static int modem_ioctl(struct odu_modem_state* s, unsigned long request, int* bits) {
  if (!bits) {
    errno = EFAULT;
    return -1;
  }
  if (request == TIOCMGET) {
    const int32_t carrier = odu_modem_get(&s->carrier_override);
    int lines = 0;
    if (odu_modem_get(&s->tool_dtr)) lines |= TIOCM_DTR;
    if (odu_modem_get(&s->tool_rts)) lines |= TIOCM_RTS;
    if (odu_modem_get(&s->station_rts)) lines |= TIOCM_CTS;
    if (odu_modem_get(&s->station_dtr)) lines |= TIOCM_DSR;
    if (carrier < 0 ? odu_modem_get(&s->station_dtr) != 0 : carrier != 0) lines |= TIOCM_CAR;
    *bits = lines;
    return 0;
  }
  const int on = *bits;
  if (request == TIOCMSET || (on & TIOCM_DTR))
    odu_modem_set(&s->tool_dtr, request == TIOCMBIC ? 0 : (on & TIOCM_DTR) != 0);
  if (request == TIOCMSET || (on & TIOCM_RTS))
    odu_modem_set(&s->tool_rts, request == TIOCMBIC ? 0 : (on & TIOCM_RTS) != 0);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
    const char* path = getenv(ODU_MODEM_STATE_ENV);
    if (path && *path && is_pty_slave(fd)) {
      /* A terminal whose other end is gone (the adapter pulled out) fails
         the line calls as a removed device does, with its own error. */
      int queued = 0;
      if (real_ioctl()(fd, TIOCOUTQ, &queued) != 0) return -1;
      struct odu_modem_state* s = state_for(path);
      if (s) return modem_ioctl(s, request, arg);
    }
  }
  return real_ioctl()(fd, request, arg);
}
