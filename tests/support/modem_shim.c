/* Test-only modem lines for pseudo-terminals. A pseudo-terminal has no modem
   lines: TIOCMGET and its kin fail with ENOTTY. Preloaded (LD_PRELOAD) into
   a test that drives the real POSIX device layer against odu-station-sim on
   a pseudo-terminal, this library answers those ioctls on pseudo-terminal
   slaves from the state file named by ODU_MODEM_STATE, which the simulator
   keeps: the station's DTR shows as DSR and carrier detect, its RTS as CTS,
   and the DTR and RTS the test sets are recorded there. A program that
   holds several terminals, each served by its own simulator, gets a list of
   files separated by ':', and each terminal the lines of the file whose
   simulator named that terminal in it. Every other call, and every call
   when the variable is unset or no file is ready for the terminal yet, goes
   to the real ioctl. The program may call from several threads at once. It
   is never linked into a program. */
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
static int is_pty_slave(int fd, dev_t* rdev) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  *rdev = st.st_rdev;
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* The state files mapped so far, each kept for the process once it worked
   (never unmapped: another thread may be using it). */
#define MAX_STATE_FILES 128

struct mapped_file {
  char* path;
  struct odu_modem_state_file* map;
  size_t size; /* what is mapped: the lines alone, or the lines and their terminal */
};

static pthread_mutex_t mapped_mu = PTHREAD_MUTEX_INITIALIZER;
static struct mapped_file mapped[MAX_STATE_FILES];
static size_t mapped_count;

/* The mapping of the file at the `len` bytes of `path`, or NULL while it
   cannot be had (absent, or the simulator has not set it up yet). Called
   with mapped_mu held. */
static struct mapped_file* map_file(const char* path, size_t len) {
  char name[4096];
  for (size_t i = 0; i < mapped_count; ++i)
    if (strlen(mapped[i].path) == len && memcmp(mapped[i].path, path, len) == 0) return &mapped[i];
  if (mapped_count == MAX_STATE_FILES || len >= sizeof name) return NULL;
  memcpy(name, path, len);
  name[len] = '\0';
  struct mapped_file* result = NULL;
  const int fd = open(name, O_RDWR | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size >= sizeof(struct odu_modem_state)) {
    const size_t size = (size_t)st.st_size >= sizeof(struct odu_modem_state_file) ? sizeof(struct odu_modem_state_file)
                                                                                  : sizeof(struct odu_modem_state);
    void* map = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    char* copy = map == MAP_FAILED ? NULL : strdup(name);
    if (copy && __atomic_load_n(&((struct odu_modem_state*)map)->magic, __ATOMIC_SEQ_CST) == ODU_MODEM_STATE_MAGIC) {
      mapped[mapped_count] = (struct mapped_file){copy, map, size};
      result = &mapped[mapped_count++];
    } else {
      free(copy);
      if (map != MAP_FAILED) munmap(map, size);
    }
  }
  if (fd >= 0) close(fd);
  return result;
}

/* The lines for the terminal `rdev` from `list`, or NULL (then the call is
   passed on). A single file serves every terminal; of several, each serves
   the terminal its simulator named in it. */
static struct odu_modem_state* state_for(const char* list, dev_t rdev) {
  const int several = strchr(list, ODU_MODEM_STATE_SEPARATOR) != NULL;
  struct odu_modem_state* result = NULL;
  pthread_mutex_lock(&mapped_mu);
  for (const char* p = list; !result;) {
    const char* end = strchrnul(p, ODU_MODEM_STATE_SEPARATOR);
    struct mapped_file* f = end > p ? map_file(p, (size_t)(end - p)) : NULL;
    if (f && (!several || (f->size == sizeof(struct odu_modem_state_file) &&
                           __atomic_load_n(&f->map->pty_rdev, __ATOMIC_SEQ_CST) == (uint64_t)rdev)))
      result = &f->map->lines;
    if (!*end) break;
    p = end + 1;
  }
  pthread_mutex_unlock(&mapped_mu);
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
    dev_t rdev = 0;
    if (path && *path && is_pty_slave(fd, &rdev)) {
      /* A terminal whose other end is gone (the adapter pulled out) fails
         the line calls as a removed device does, with its own error. */
      int queued = 0;
      if (real_ioctl()(fd, TIOCOUTQ, &queued) != 0) return -1;
      struct odu_modem_state* s = state_for(path, rdev);
      if (s) return modem_ioctl(s, request, arg);
    }
  }
  return real_ioctl()(fd, request, arg);
}
