// The serial port layer: a fixed table of twelve device names, raw
// non-blocking termios access by table index, modem-control lines, and the
// restore of a port's terminal settings when the hub closes it.
//
// Every operation takes the table index; an index outside 0..RS232_PORTS-1
// is refused. Console messages go through pprintf (shown only when console
// printing is on).
//
// Thread safety: the per-index state (descriptor, saved settings) is written
// only by the thread that owns the index (its serial watcher: open and
// close); reads and writes on an open port are made by the port's Serial
// under its device lock. The descriptor is atomic so that a stray call on a
// closed port sees -1, never a torn value.
#ifndef VH_IO_RS232_H_
#define VH_IO_RS232_H_

#include <termios.h>

#include <cstddef>

constexpr int RS232_PORTS = 12;          // entries of the device name table
constexpr size_t RS232_NAME_MAX = 39;    // characters of a device name
constexpr int RS232_TEST_BAUD = 115200;  // rate and mode of RS232_test
constexpr char RS232_TEST_MODE[] = "8N1";

// The raw settings for baud and mode: receiver on, modem-control lines
// ignored, the mode's data bits, parity (input parity checking on for E and
// O, parity errors ignored for N) and stop bits, no output processing, no
// line discipline, reads return from 1 byte. False (after a console line)
// for a baud rate or mode that is not valid.
bool RS232_modeSettings(int baud, const char* mode, termios* settings);
// Opens and configures the port raw at baud with mode (data bits 5-8,
// parity N/E/O in either case, stop bits 1-2, e.g. "8N1", "7E2"), raising
// DTR and RTS. A device whose modem-line query is not supported (a
// pseudo-terminal, some USB adapters) is opened without modem lines: they
// are then never touched (RS232_HasModemLines). A port already open is
// refused. Returns 0 on success, 1 on failure (reported on the console).
int RS232_OpenComport(int index, int baud, const char* mode);
// One non-blocking read. Returns the bytes read, 0 when nothing is waiting,
// -1 on an error, a bad index or a closed port.
int RS232_PollComport(int index, unsigned char* bytes, int count);
// One non-blocking write. Returns the bytes written, 0 when the device would
// block, -1 on an error.
int RS232_SendBuf(int index, const unsigned char* bytes, int count);
// Returns 1 when the byte was written.
int RS232_SendByte(int index, unsigned char byte);
// Sends the bytes of text one by one.
void RS232_cputs(int index, const char* text);
// Drops DTR and RTS (when the device has them), restores the settings saved
// at open, closes.
void RS232_CloseComport(int index);
// Bytes waiting to be read; 0 for a bad index, a closed port or a failed query.
int RS232_available(int index);
// The open port's descriptor (for waiting on it), -1 for a bad index or a closed port.
int RS232_GetFd(int index);
// True when the port is open and its device has modem-control lines.
bool RS232_HasModemLines(int index);
void RS232_flushRX(int index);
void RS232_flushTX(int index);
void RS232_flushRXTX(int index);
// Modem status lines: 1 when raised, 0 otherwise.
int RS232_IsDCDEnabled(int index);
int RS232_IsCTSEnabled(int index);
int RS232_IsDSREnabled(int index);
void RS232_enableDTR(int index);
void RS232_disableDTR(int index);
void RS232_enableRTS(int index);
void RS232_disableRTS(int index);
// Index of the table entry equal to name (first RS232_NAME_MAX characters);
// -1 when none or name is empty.
int RS232_GetPortnr(const char* name);
// The table entry, null for a bad index.
const char* RS232_GetPortName(int index);
// Closes, opens at RS232_TEST_BAUD RS232_TEST_MODE, closes again. True when
// the open succeeded.
bool RS232_test(int index);
// RS232_test on every index into flags[0..RS232_PORTS-1].
void RS232_testAll(bool* flags);

// Tests only: opens path (a pseudo-terminal) in place of the device of
// index, which leaves the name table unchanged. Only the path changes: the
// port takes every step of any other, the modem-line query included. An
// empty or null path ends the redirection. Call while the port is closed.
void RS232_TEST_redirect(int index, const char* path);

#endif  // VH_IO_RS232_H_
