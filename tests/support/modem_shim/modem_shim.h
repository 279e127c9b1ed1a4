/* SPDX-License-Identifier: GPL-3.0-or-later
 * SPDX-FileCopyrightText: 2026 The krm59340 developers */

/* The modem shim: a shared library that puts a simulated board behind the modem lines of one pseudo-terminal.
 *
 * A pty refuses modem requests, so on its own it cannot show what the POSIX port does on a real adapter. The
 * library exports ioctl: on a descriptor of the attached pty slave (same device number), TIOCMBIS, TIOCMBIC,
 * TIOCMGET and TIOCMSET are answered by a simulated board open as COM1. RTS asserted pulls SDA low, DTR
 * asserted pulls SCL low, and TIOCMGET reports the RTS and DTR bits last set plus TIOCM_DSR while the board
 * reads SDA low. Every other request, and every other descriptor, goes on to the next ioctl in lookup order
 * (libc's). Other modem bits (CTS, CD, ...) are neither set nor reported.
 *
 * One ioctl is one served request. A request naming both lines changes RTS, then DTR: two line requests
 * of the board (and two towards gone_after), one served request. A request naming neither changes nothing.
 * Opening and closing the slave are not seen: the lines keep the state last set through a close and a
 * reopen, where Linux asserts both at open and drops both at close on a real adapter.
 *
 * Two ways in:
 * - linked into a test executable, which then calls krm_shim_attach() with the slave's path;
 * - preloaded into a program (LD_PRELOAD) that knows nothing of it: KRM_SHIM_PTY names the slave,
 *   KRM_SHIM_CONFIG holds the configuration's bytes in hex as PtyBoard::childEnvironment() writes them
 *   (default configuration when unset), and KRM_SHIM_STATE names a file the chip memory is loaded from at
 *   start (when it exists) and saved to at exit, so a sequence of runs sees one board. A configuration that
 * does not parse or a state file that cannot be read ends the program with status 125 before main(). Children
 * of the program inherit LD_PRELOAD and would attach too: clear it for them. Under AddressSanitizer its
 * runtime must come first in LD_PRELOAD (the library needs it).
 *
 * The pty's master must stay open while the slave is in use, or the slave hangs up. Not thread-safe beyond
 * this: served requests are serialised, and the control calls must not run while another thread is inside
 * a served request. */

#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum krm_shim_chips {
    KRM_SHIM_CHIPS_NONE,
    KRM_SHIM_CHIP_74, /* A0 = 0 only */
    KRM_SHIM_CHIP_75, /* A0 = 1 only */
    KRM_SHIM_CHIPS_BOTH,
};

enum krm_shim_dsr {
    KRM_SHIM_DSR_WIRED,  /* DSR follows SDA */
    KRM_SHIM_DSR_DEAD,   /* the read-back wire is broken: never asserted, every read bit is 1 */
    KRM_SHIM_DSR_STUCK,  /* always asserted */
    KRM_SHIM_DSR_ON_SCL, /* the read-back wire goes to SCL: asserted while DTR is */
};

enum { KRM_SHIM_REGISTERS = 24 };

struct krm_shim_config {
    enum krm_shim_chips chips;
    /* DAC codes at attach, [0] for 0x74 and [1] for 0x75; ten bits are kept. */
    unsigned short codes[2][KRM_SHIM_REGISTERS];
    enum krm_shim_dsr dsr;
    /* 0x74 or 0x75: that chip was left mid-read by an earlier master and holds SDA low; 0: none. */
    int stranded;
    /* The adapter is pulled once the board has served this many line requests (-1: never). The failing
     * request and every later served one fail with EIO; the pty itself stays, so a reopen succeeds and
     * fails at its first modem request. */
    long gone_after;
    /* Each line request takes this long, as a round trip to a USB adapter does (about 1000). */
    long latency_us;
};

/* Both chips, all codes 0, DSR wired, nothing stranded, never pulled, no latency. */
struct krm_shim_config krm_shim_default_config(void);

/* Serves the modem requests of the pty slave at path from a new board; replaces any board attached before.
 * Returns 0, or -1 with errno set (the path is not a character device). */
int krm_shim_attach(const char* slave_path, const struct krm_shim_config* config);
/* Forgets the board; its pty's requests go to the real ioctl again. */
void krm_shim_detach(void);

/* Pulls the adapter once the board has served this many more line requests, as gone_after does counted
 * from now: a test can open the port first and pull it at a chosen point of what follows. */
void krm_shim_pull_after(unsigned long line_requests);

/* Read-back of the attached board. Chip queries return -1 when no board is attached or the board carries
 * no chip at the address (0x74 or 0x75). */
int krm_shim_dac_register(int address7, int reg);
int krm_shim_bank_status(int address7);
int krm_shim_resets(int address7);
/* Modem ioctls answered on the pty since attach, failed ones included. */
unsigned long krm_shim_requests(void);
/* Line requests the board served since attach (a two-line request counts two). */
unsigned long krm_shim_line_requests(void);
/* 1 while SDA is high on the wire, 0 while something pulls it low; -1 when nothing is attached. */
int krm_shim_sda_wire(void);

/* Applies the chips' memory (registers, OTP banks, bank status, resets) that a preloaded run saved at its
 * exit to the attached board's chips. Returns 0, or -1 with errno set. */
int krm_shim_load_state(const char* path);

#ifdef __cplusplus
}
#endif
