/* Modem lines of a pseudo-terminal, which has none of its own: the station
   simulator keeps its DTR and RTS here, and the test-only modem-line shim
   (preloaded into the program under test) answers that program's modem-line
   ioctls from it and records the program's own DTR and RTS. The file is
   mapped shared by both processes; every field is read and written with
   atomic operations. Plain C, for the shim. */
#ifndef ODU_SIM_MODEM_STATE_H
#define ODU_SIM_MODEM_STATE_H

#include <stdint.h>

#define ODU_MODEM_STATE_MAGIC 0x4F44554DU /* set last, once the fields hold */
#define ODU_MODEM_STATE_ENV "ODU_MODEM_STATE"

struct odu_modem_state {
  uint32_t magic;
  int32_t tool_dtr;         /* the lines the program under test sets */
  int32_t tool_rts;
  int32_t station_dtr;      /* seen by the program as DSR and carrier detect */
  int32_t station_rts;      /* seen by the program as CTS */
  int32_t carrier_override; /* -1: carrier follows station_dtr; 0 or 1: forced */
};

/* What a simulator on a pseudo-terminal keeps in the file: the lines, then
   which terminal they are the lines of, so that a program holding several
   terminals, each served by its own simulator, finds the lines of each. A
   file of only sizeof(struct odu_modem_state) bytes (one a test writes
   itself) names no terminal. */
struct odu_modem_state_file {
  struct odu_modem_state lines;
  uint64_t pty_rdev; /* st_rdev of the terminal's slave end; 0 until it is open */
};

/* ODU_MODEM_STATE names one file, or several separated by this. */
#define ODU_MODEM_STATE_SEPARATOR ':'

static inline int32_t odu_modem_get(const int32_t* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }
static inline void odu_modem_set(int32_t* field, int32_t value) { __atomic_store_n(field, value, __ATOMIC_SEQ_CST); }

#endif
