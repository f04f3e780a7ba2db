/* The one builder of the registry monitor's log lines (RegmonProtocol.h) from real registry
 * operations. The capture DLL in a setup's processes and the driver's registry callback both see a
 * key by its kernel name ("\REGISTRY\MACHINE\SOFTWARE\X"); both must log it the same way, so both
 * build their lines here.
 *
 * Plain C11 without any library or OS call and without state: the driver links no runtime, and the
 * tests build the same file for user mode. Any thread may call it at any IRQL the caller's buffers
 * allow.
 *
 * Texts are UTF-16 with a length in code units and need no terminating NUL, as in a kernel
 * UNICODE_STRING; a text's pointer may be null when its length is 0. The builder's output is UTF-16
 * too: turning it into the log's ANSI text differs in the kernel and in user mode, and is the
 * caller's.
 *
 * Results, checked in this order, so that each one names a single reason: a bad argument, a key
 * that maps to no root, a field that would hold a forbidden character, an output too small. On any
 * result but CAPTURE_OK, *length is 0 and the output has not been written to. */
#ifndef ORVANE_DRIVER_CAPTURE_LINE_H
#define ORVANE_DRIVER_CAPTURE_LINE_H

#include <stdint.h>

#include "driver/RegmonProtocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The longest line the builder makes, in code units. The log takes at most REGMON_MAX_LINE bytes of
 * ANSI text a line, and every unit converts to at least one byte, so a longer line could never be
 * logged; a buffer of this many units is enough for every line that could. A shorter line may still
 * come out too long in ANSI, where a unit can take two bytes or more: the caller checks the
 * converted length too. */
#define CAPTURE_LINE_MAX_UNITS REGMON_MAX_LINE

typedef enum CaptureResult {
    CAPTURE_OK = 0,
    /* A null pointer where one is needed, a text with a null pointer and a nonzero length, or an
     * operation the builder does not know. */
    CAPTURE_BAD_ARGUMENT,
    /* The key lies neither below \REGISTRY\MACHINE nor below \REGISTRY\USER (an application hive,
     * an empty name, "\REGISTRY\MACHINEX"): it has no name in the log. */
    CAPTURE_UNMAPPED,
    /* A field would hold a tab, CR, LF or NUL, which would break the line for the log's readers.
     * Such an operation cannot be logged whatever the output's size. */
    CAPTURE_FORBIDDEN_CHARACTER,
    /* The result does not fit the output (or, for a line, is longer than CAPTURE_LINE_MAX_UNITS). */
    CAPTURE_TOO_LONG
} CaptureResult;

/* Operations, as the line's second field names them. Zero is none, so that a zeroed event is
 * refused. */
#define CAPTURE_SET_VALUE 1
#define CAPTURE_DELETE_KEY 2

typedef struct CaptureText {
    const uint16_t* units;
    uint32_t length; /* in code units */
} CaptureText;

typedef struct CaptureEvent {
    /* The process's image: a full path (a DOS path, or a "\Device\HarddiskVolume1\..." one) or a
     * bare name. The line keeps what follows the last '\' or '/'. */
    CaptureText processImage;
    int operation; /* CAPTURE_SET_VALUE or CAPTURE_DELETE_KEY */
    /* The key's kernel name as NtQueryKey(KeyNameInformation) gives it: the key written to, or the
     * key deleted. */
    CaptureText keyName;
    /* For CAPTURE_SET_VALUE: the value's name (empty for the key's default value), its REG_* type,
     * the length of its data in bytes. Ignored for CAPTURE_DELETE_KEY. */
    CaptureText valueName;
    uint32_t valueType;
    uint32_t dataLength;
    /* The operation's NTSTATUS: 0 is "SUCCESS", anything else its number ("0xC0000022"), which the
     * log's readers drop. */
    uint32_t status;
} CaptureEvent;

/* The log's name of the key a kernel name `kernelName` names, into `output`, which holds `capacity`
 * units (it may be null when `capacity` is 0); no NUL is written. `userSid` is the SID of the user
 * whose hive is HKCU ("S-1-5-21-..."); an empty one matches nothing. Roots compare in any ASCII
 * letter case, and so do the SID and "_Classes"; the rest of the name is kept exactly as given.
 *   \REGISTRY\MACHINE[\rest]                -> HKLM[\rest]
 *   \REGISTRY\USER\<userSid>[\rest]         -> HKCU[\rest]
 *   \REGISTRY\USER\<userSid>_Classes[\rest] -> HKCU\Software\Classes[\rest]
 *   \REGISTRY\USER[\<other>[\rest]]         -> HKEY_USERS[\<other>[\rest]]
 * The SID matches a whole component only: "S-1-5-21-1" does not match "S-1-5-21-10". A name whose
 * mapped form would hold a tab, CR, LF or NUL is refused as its line would be. */
CaptureResult CaptureMapKeyName(CaptureText kernelName, CaptureText userSid, uint16_t* output,
                                uint32_t capacity, uint32_t* length);

/* The log line of one event, its key mapped as CaptureMapKeyName maps it, into `output`, which
 * holds `capacity` units (it may be null when `capacity` is 0); no NUL is written, and *length
 * receives the line's units. Fields are separated by single tabs:
 *   setup.exe  SetValue   HKLM\Software\X\Name  SUCCESS  Type: REG_SZ, Length: 12
 *   setup.exe  DeleteKey  HKLM\Software\X       SUCCESS  Key deleted
 * A value's path is its key's, a backslash and its name; the default value's path ends in the
 * backslash. A type with no REG_* name shows as its decimal number. The process field may be empty
 * (an image path ending in a separator); the last field never is, since the log's readers drop a
 * line that ends in a tab. */
CaptureResult CaptureBuildLine(const CaptureEvent* event, CaptureText userSid, uint16_t* output,
                               uint32_t capacity, uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif
