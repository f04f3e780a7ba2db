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
/* Both append codes fail with STATUS_NOT_SUPPORTED (ERROR_NOT_SUPPORTED) while the driver's own
 * registry callback is active: one capture's lines come from one source, so that a key's spelling
 * (the kernel's, or a process's) is the same in all of them. */

/* Function 0x802, buffered, any access: output is one REGMON_CAPTURE_STATE. Answers
 * STATUS_BUFFER_TOO_SMALL for an output shorter than the structure. The capture DLL asks once
 * whether the callback is active; the tracker warns when lines were lost. */
#define IOCTL_QUERY_CAPTURE_STATE 0x83052008u

/* Function 0x803, buffered, any access, no input or output: marks the calling process as one of the
 * tracked setup's tree, for the capture IOCTL_START_CAPTURE last started. The registry callback
 * names a marked process "image:pid" in its lines, as the capture DLL names the processes it logs,
 * so that the library's exclusion of a few system programs' names (rundll32.exe, svchost.exe...),
 * meant for the noise of a log of the whole system, does not drop the setup's own processes of
 * those names. The capture DLL sends it once in each process of the tree where the callback is
 * active. Fails with STATUS_NOT_SUPPORTED while no callback is active, STATUS_DEVICE_NOT_READY while
 * capture is off, and STATUS_INSUFFICIENT_RESOURCES past REGMON_MARKED_PROCESSES processes. Marks
 * last until capture is next started or stopped. */
#define IOCTL_MARK_TREE_PROCESS 0x8305200Cu
#define REGMON_MARKED_PROCESSES 1024u

/* Function 0x804, neither, any access: output as for IOCTL_READ_LOG, whole records of the writer
 * lines. Where the registry callback logs every process, the library's lines name a process outside
 * the setup's tree by its image alone, as its exclusions need; the driver keeps each line of the
 * callback once more among the writer lines, the same line but for its process field, which always
 * reads "image:pid" ("services.exe:640"), so that the tracker can name the process that wrote each
 * value. They fill while capture is on, are emptied when it starts, and a full store turns lines
 * away as the log does (REGMON_LOST_MARKER_PREFIX): the tracker reads them while the setup runs and
 * once capture has stopped. Fails with STATUS_NOT_SUPPORTED where no callback is active. */
#define IOCTL_READ_WRITER_LINES 0x83052013u
/* The writer lines take at most this many bytes of records. */
#define REGMON_WRITER_LINES_CAPACITY (4u * 1024u * 1024u)

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

/* The kinds of registry notifications the running kernel delivers, as the driver detects them. */
#define REGMON_NOTIFY_UNKNOWN 0u
#define REGMON_NOTIFY_PRE_ONLY 1u           /* XP x86: no post-notifications */
#define REGMON_NOTIFY_POST_STATUS_ONLY 2u   /* 2003, XP x64: a post carries object and status */
#define REGMON_NOTIFY_POST_WITH_PRE_INFO 3u /* Vista and later: a post carries the pre's information */

#define REGMON_CAPTURE_STATE_VERSION 1u

/* The driver's state for IOCTL_QUERY_CAPTURE_STATE: 44 bytes, 32-bit fields in this order. The
 * counts cover the capture that IOCTL_START_CAPTURE last started, stop at their largest value
 * rather than wrap (0xFFFFFFFF for linesLostLogFull, 0x7FFFFFFF for the others), and count lines
 * the registry callback did not log. */
typedef struct _RegmonCaptureState {
    unsigned int size;               /* sizeof(REGMON_CAPTURE_STATE) */
    unsigned int version;            /* REGMON_CAPTURE_STATE_VERSION */
    unsigned int callbackActive;     /* 1 when the driver logs registry writes itself, else 0 */
    unsigned int notifications;      /* REGMON_NOTIFY_*, detected whether or not a callback is active */
    unsigned int linesLostLogFull;   /* turned away by a full log (a marker line reports them too) */
    unsigned int linesForbidden;     /* a field would have held a tab, CR, LF or NUL */
    unsigned int linesUnconvertible; /* no exact ANSI form, or too long in ANSI */
    unsigned int linesUnmapped;      /* the key lies below no root the log names */
    unsigned int nameQueriesFailed;  /* a key, value or process name (or memory) could not be had */
    unsigned int linesUnpaired;      /* a pre-notification's data could not be kept for its post */
    unsigned int deletionsUnchecked; /* XP x86: deletions beyond the table that checks them */
} REGMON_CAPTURE_STATE;
#define REGMON_CAPTURE_STATE_SIZE 44

/* The line a full log puts in once it has room again, "<prefix><lines lost><suffix>". Its
 * operation is no write and its result no success, so the log's readers drop it. */
#define REGMON_LOST_MARKER_PREFIX "REGSYS.SYS\tLinesLost\t-\tLOST\t"
#define REGMON_LOST_MARKER_SUFFIX " lines were not logged: the log was full"
#define REGMON_LOST_MARKER_MAX 96

/* The filter block. Each text is NUL-terminated within its 256 bytes. This driver keeps the block
 * and logs and answers the same whatever it holds: the library's parser, not the driver, decides
 * which lines count. */
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
static_assert(sizeof(REGMON_CAPTURE_STATE) == REGMON_CAPTURE_STATE_SIZE, "the state is 44 bytes on the wire");
#else
_Static_assert(sizeof(REGMON_CAPTURE_STATE) == REGMON_CAPTURE_STATE_SIZE,
               "the state is 44 bytes on the wire");
_Static_assert(sizeof(REGMON_FILTER) == REGMON_FILTER_SIZE, "the filter block is 1028 bytes on the wire");
#endif

#endif
