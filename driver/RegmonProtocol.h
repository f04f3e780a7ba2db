/* The wire protocol of the registry-monitor driver (service "REGMON", file REGSYS.SYS), shared by
 * the library, the driver, the tests and sample setups. Plain C, so that kernel code can use it.
 *
 * Log records: a 32-bit word (this driver puts the record's byte size there; readers skip it), the
 * line's text, a NUL, and padding, so that text plus NUL fill a multiple of 4 bytes. A text of L
 * bytes therefore takes 4 + ((L + 4) & ~3) bytes. A read returns whole records only.
 *
 * Log lines: five fields separated by single tabs: process, operation, path, result, detail. */
#ifndef ORVANE_REGMON_PROTOCOL_H
#define ORVANE_REGMON_PROTOCOL_H

#define REGMON_SERVICE_NAME "REGMON"
#define REGMON_DEVICE_PATH "\\\\.\\REGMON"
#define REGMON_DRIVER_SUBPATH "\\drivers\\REGSYS.SYS"

#define REGMON_DEVICE_TYPE 0x8305u

/* All codes: device type 0x8305, any access. Function 2 is not used. */
#define IOCTL_START_CAPTURE 0x83050000u /* function 0, buffered: empties the log, then logs */
#define IOCTL_STOP_CAPTURE 0x83050004u  /* function 1, buffered: stops logging, keeps the log */
#define IOCTL_READ_LOG 0x8305000Fu      /* function 3, neither: whole records into the output */
#define IOCTL_SET_FILTER 0x83050010u    /* function 4, buffered: input is one REGMON_FILTER block */
#define IOCTL_GET_VERSION 0x83050014u   /* function 5, buffered: output is a 32-bit version */

/* Function 0x800, buffered: input is the text of one line, without NUL. The library never sends it;
 * the capture DLL in a tracked setup's processes logs each registry write it sees with it, and tests
 * log lines of their own. Refused while capture is off, for an empty or oversized line, and when the
 * log is full. */
#define IOCTL_APPEND_LOG_LINE 0x83052000u
/* Function 0x801, buffered: input is several lines, each ended by a LF, at most
 * REGMON_APPEND_BATCH_SIZE bytes in all: appended all together or not at all, on the same terms as
 * one line. The tracker relays the capture's lines with it, hundreds to a request. */
#define IOCTL_APPEND_LOG_LINES 0x83052004u
#define REGMON_APPEND_BATCH_SIZE 65536u

#define REGMON_VERSION 360u

#define REGMON_FILTER_TEXT_SIZE 256
#define REGMON_FILTER_SIZE 1028
#define REGMON_READ_SIZE 65528

#define REGMON_RECORD_HEADER_SIZE 4
#define REGMON_MAX_LINE 4096
/* The bytes one record of a text of `length` bytes occupies. */
#define REGMON_RECORD_SIZE(length) (REGMON_RECORD_HEADER_SIZE + (((length) + 4u) & ~3u))
/* The log holds at least this many bytes of records. */
#define REGMON_LOG_CAPACITY (16u * 1024u * 1024u)

/* The filter block. Each text is NUL-terminated within its 256 bytes. This driver keeps the block
 * and answers version and log requests the same whatever it holds: it sees no registry operations
 * of its own to filter. */
typedef struct _RegFilter {
    char text1[REGMON_FILTER_TEXT_SIZE];
    char text2[REGMON_FILTER_TEXT_SIZE];
    char text3[REGMON_FILTER_TEXT_SIZE];
    char text4[REGMON_FILTER_TEXT_SIZE];
    unsigned char switch1;
    unsigned char switch2;
    unsigned char switch3;
    unsigned char switch4;
} REGMON_FILTER;

#ifdef __cplusplus
static_assert(sizeof(REGMON_FILTER) == REGMON_FILTER_SIZE, "the filter block is 1028 bytes on the wire");
static_assert(REGMON_RECORD_SIZE(0u) == 8 && REGMON_RECORD_SIZE(3u) == 8 && REGMON_RECORD_SIZE(4u) == 12,
              "record sizes");
#else
_Static_assert(sizeof(REGMON_FILTER) == REGMON_FILTER_SIZE, "the filter block is 1028 bytes on the wire");
#endif

#endif
