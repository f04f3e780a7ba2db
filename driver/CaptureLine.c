#include "driver/CaptureLine.h"

#include <stddef.h>

/* Fixed texts carry their length: a counting loop could be compiled into a call to strlen, which
 * the driver has nowhere to take from. */
typedef struct {
    const char* text;
    uint32_t length;
} AsciiText;

#define ASCII_TEXT(literal)                                                                                  \
    { literal, sizeof(literal) - 1 }

static const AsciiText MACHINE_PREFIX = ASCII_TEXT("\\REGISTRY\\MACHINE");
static const AsciiText USER_PREFIX = ASCII_TEXT("\\REGISTRY\\USER");
static const AsciiText CLASSES_SUFFIX = ASCII_TEXT("_Classes");
static const AsciiText MACHINE_ROOT = ASCII_TEXT("HKLM");
static const AsciiText CURRENT_USER_ROOT = ASCII_TEXT("HKCU");
static const AsciiText USERS_ROOT = ASCII_TEXT("HKEY_USERS");
static const AsciiText CLASSES_BELOW_CURRENT_USER = ASCII_TEXT("\\Software\\Classes");
static const AsciiText NOTHING = ASCII_TEXT("");
static const AsciiText TAB = ASCII_TEXT("\t");
static const AsciiText BACKSLASH = ASCII_TEXT("\\");
static const AsciiText SET_VALUE = ASCII_TEXT("SetValue");
static const AsciiText DELETE_KEY = ASCII_TEXT("DeleteKey");
static const AsciiText SUCCESS = ASCII_TEXT("SUCCESS");
static const AsciiText TYPE_LABEL = ASCII_TEXT("Type: ");
static const AsciiText LENGTH_LABEL = ASCII_TEXT(", Length: ");
static const AsciiText DELETE_KEY_DETAIL = ASCII_TEXT("Key deleted");

/* Indexed by the REG_* number. */
static const AsciiText TYPE_NAMES[] = {
    ASCII_TEXT("REG_NONE"),
    ASCII_TEXT("REG_SZ"),
    ASCII_TEXT("REG_EXPAND_SZ"),
    ASCII_TEXT("REG_BINARY"),
    ASCII_TEXT("REG_DWORD"),
    ASCII_TEXT("REG_DWORD_BIG_ENDIAN"),
    ASCII_TEXT("REG_LINK"),
    ASCII_TEXT("REG_MULTI_SZ"),
    ASCII_TEXT("REG_RESOURCE_LIST"),
    ASCII_TEXT("REG_FULL_RESOURCE_DESCRIPTOR"),
    ASCII_TEXT("REG_RESOURCE_REQUIREMENTS_LIST"),
    ASCII_TEXT("REG_QWORD"),
};

#define TYPE_NAME_COUNT (sizeof TYPE_NAMES / sizeof TYPE_NAMES[0])

/* Room for the longest number the builder writes: ten decimal digits, or "0x" and eight hex. */
#define NUMBER_ROOM 10

/* The most pieces a line has: process, operation, key (three), value (two), result, detail (four),
 * and four tabs. */
#define LINE_PIECES 16

/* A stretch of the output: one of the builder's fixed texts, or units the caller gave. The output
 * is assembled from these once everything is known to fit, so that a refused line writes nothing. */
typedef struct {
    const char* ascii;
    const uint16_t* units;
    uint32_t length;
} Piece;

typedef struct {
    Piece pieces[LINE_PIECES];
    uint32_t count;
} PieceList;

/* A kernel name as the log names it: a root, possibly a fixed path below it, then the rest of the
 * kernel name past what those two stand for. */
typedef struct {
    AsciiText root;
    AsciiText below;
    CaptureText rest;
} MappedKey;

static int TextUsable(CaptureText text) {
    return text.units != NULL || text.length == 0;
}

/* An empty text may come with a null pointer, which no offset may be added to, not even 0. */
static CaptureText Slice(CaptureText text, uint32_t start, uint32_t end) {
    CaptureText slice;
    slice.units = text.units != NULL ? text.units + start : NULL;
    slice.length = end - start;
    return slice;
}

static CaptureText TextFrom(CaptureText text, uint32_t start) {
    return Slice(text, start, text.length);
}

static uint16_t FoldAscii(uint16_t unit) {
    return unit >= 'a' && unit <= 'z' ? (uint16_t)(unit - 'a' + 'A') : unit;
}

/* Only ASCII letters fold: the kernel's names differ from Wine's in the case of ASCII prefixes,
 * and folding any further would take a case table this code does not have. */
static int SameUnitIgnoringAsciiCase(uint16_t a, uint16_t b) {
    return FoldAscii(a) == FoldAscii(b);
}

static int StartsWithAscii(CaptureText text, AsciiText prefix) {
    uint32_t i;
    if (text.length < prefix.length)
        return 0;
    for (i = 0; i < prefix.length; ++i) {
        if (!SameUnitIgnoringAsciiCase(text.units[i], (uint8_t)prefix.text[i]))
            return 0;
    }
    return 1;
}

static int EqualsAscii(CaptureText text, AsciiText ascii) {
    return text.length == ascii.length && StartsWithAscii(text, ascii);
}

static int StartsWithText(CaptureText text, CaptureText prefix) {
    uint32_t i;
    if (text.length < prefix.length)
        return 0;
    for (i = 0; i < prefix.length; ++i) {
        if (!SameUnitIgnoringAsciiCase(text.units[i], prefix.units[i]))
            return 0;
    }
    return 1;
}

/* A prefix names a whole key only when the name ends there or goes on with a backslash. */
static int StartsWithKey(CaptureText name, AsciiText prefix) {
    return StartsWithAscii(name, prefix) &&
           (name.length == prefix.length || name.units[prefix.length] == '\\');
}

/* The first component of `belowUsers`, which starts with a backslash. */
static CaptureText FirstComponent(CaptureText belowUsers) {
    uint32_t end = 1;
    while (end < belowUsers.length && belowUsers.units[end] != '\\')
        ++end;
    return Slice(belowUsers, 1, end);
}

static int IsUserHive(CaptureText hive, CaptureText userSid) {
    return userSid.length != 0 && hive.length == userSid.length && StartsWithText(hive, userSid);
}

static int IsUserClassesHive(CaptureText hive, CaptureText userSid) {
    return userSid.length != 0 && hive.length == userSid.length + CLASSES_SUFFIX.length &&
           StartsWithText(hive, userSid) && EqualsAscii(TextFrom(hive, userSid.length), CLASSES_SUFFIX);
}

/* `belowUsers` is what follows \REGISTRY\USER: empty, or a backslash and a hive's name. */
static void MapUsersKey(CaptureText belowUsers, CaptureText userSid, MappedKey* key) {
    const CaptureText hive = belowUsers.length != 0 ? FirstComponent(belowUsers) : belowUsers;
    key->below = NOTHING;
    if (belowUsers.length != 0 && IsUserHive(hive, userSid)) {
        key->root = CURRENT_USER_ROOT;
        key->rest = TextFrom(belowUsers, 1 + hive.length);
    } else if (belowUsers.length != 0 && IsUserClassesHive(hive, userSid)) {
        key->root = CURRENT_USER_ROOT;
        key->below = CLASSES_BELOW_CURRENT_USER;
        key->rest = TextFrom(belowUsers, 1 + hive.length);
    } else {
        key->root = USERS_ROOT;
        key->rest = belowUsers;
    }
}

/* Nonzero when the name lies in one of the two trees the log has names for. */
static int MapKey(CaptureText kernelName, CaptureText userSid, MappedKey* key) {
    if (StartsWithKey(kernelName, MACHINE_PREFIX)) {
        key->root = MACHINE_ROOT;
        key->below = NOTHING;
        key->rest = TextFrom(kernelName, MACHINE_PREFIX.length);
        return 1;
    }
    if (StartsWithKey(kernelName, USER_PREFIX)) {
        MapUsersKey(TextFrom(kernelName, USER_PREFIX.length), userSid, key);
        return 1;
    }
    return 0;
}

static int IsForbiddenUnit(uint16_t unit) {
    return unit == '\t' || unit == '\r' || unit == '\n' || unit == 0;
}

static int HoldsForbiddenUnit(CaptureText text) {
    uint32_t i;
    for (i = 0; i < text.length; ++i) {
        if (IsForbiddenUnit(text.units[i]))
            return 1;
    }
    return 0;
}

/* Names the driver sees may be "\Device\HarddiskVolume1\..."; user mode may see either slash. */
static CaptureText ImageFileName(CaptureText image) {
    uint32_t start = image.length;
    while (start > 0 && image.units[start - 1] != '\\' && image.units[start - 1] != '/')
        --start;
    return TextFrom(image, start);
}

static void AddAscii(PieceList* list, AsciiText text) {
    if (list->count == LINE_PIECES)
        return;
    list->pieces[list->count].ascii = text.text;
    list->pieces[list->count].units = NULL;
    list->pieces[list->count].length = text.length;
    ++list->count;
}

static void AddUnits(PieceList* list, CaptureText text) {
    if (list->count == LINE_PIECES)
        return;
    list->pieces[list->count].ascii = NULL;
    list->pieces[list->count].units = text.units;
    list->pieces[list->count].length = text.length;
    ++list->count;
}

static void AddMappedKey(PieceList* list, const MappedKey* key) {
    AddAscii(list, key->root);
    AddAscii(list, key->below);
    AddUnits(list, key->rest);
}

/* Filled from the end of `room`, which holds NUMBER_ROOM characters. */
static AsciiText Decimal(uint32_t value, char* room) {
    uint32_t start = NUMBER_ROOM;
    AsciiText text;
    do {
        room[--start] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    text.text = room + start;
    text.length = NUMBER_ROOM - start;
    return text;
}

/* "0x" and eight upper-case digits, as status codes are usually written. */
static AsciiText Hexadecimal(uint32_t value, char* room) {
    static const char digits[] = "0123456789ABCDEF";
    uint32_t i;
    AsciiText text;
    room[0] = '0';
    room[1] = 'x';
    for (i = 0; i < 8; ++i)
        room[2 + i] = digits[(value >> (28 - 4 * i)) & 0xFu];
    text.text = room;
    text.length = 10;
    return text;
}

static AsciiText TypeName(uint32_t type, char* room) {
    return type < TYPE_NAME_COUNT ? TYPE_NAMES[type] : Decimal(type, room);
}

static AsciiText ResultText(uint32_t status, char* room) {
    return status == 0 ? SUCCESS : Hexadecimal(status, room);
}

/* Nonzero when the pieces fit `limit` units; `total` receives their sum. Written as a distance to
 * the limit, so that no sum can wrap. */
static int PiecesFit(const PieceList* list, uint32_t limit, uint32_t* total) {
    uint32_t i;
    *total = 0;
    for (i = 0; i < list->count; ++i) {
        if (list->pieces[i].length > limit - *total)
            return 0;
        *total += list->pieces[i].length;
    }
    return 1;
}

static uint16_t PieceUnit(const Piece* piece, uint32_t at) {
    return piece->ascii != NULL ? (uint8_t)piece->ascii[at] : piece->units[at];
}

/* One unit at a time across the pieces: a plain copy loop per piece could be compiled into a call
 * to memcpy, which the driver has nowhere to take from. */
static void WritePieces(const PieceList* list, uint32_t total, uint16_t* output) {
    uint32_t piece = 0, at = 0, i;
    for (i = 0; i < total; ++i) {
        while (at == list->pieces[piece].length) {
            ++piece;
            at = 0;
        }
        output[i] = PieceUnit(&list->pieces[piece], at++);
    }
}

static CaptureResult EmitPieces(const PieceList* list, uint16_t* output, uint32_t limit, uint32_t* length) {
    uint32_t total;
    if (!PiecesFit(list, limit, &total))
        return CAPTURE_TOO_LONG;
    WritePieces(list, total, output);
    *length = total;
    return CAPTURE_OK;
}

static int OutputUsable(const uint16_t* output, uint32_t capacity, const uint32_t* length) {
    return length != NULL && (output != NULL || capacity == 0);
}

CaptureResult CaptureMapKeyName(CaptureText kernelName, CaptureText userSid, uint16_t* output,
                                uint32_t capacity, uint32_t* length) {
    MappedKey key;
    PieceList list;
    if (length != NULL)
        *length = 0;
    if (!OutputUsable(output, capacity, length) || !TextUsable(kernelName) || !TextUsable(userSid))
        return CAPTURE_BAD_ARGUMENT;
    if (!MapKey(kernelName, userSid, &key))
        return CAPTURE_UNMAPPED;
    if (HoldsForbiddenUnit(key.rest))
        return CAPTURE_FORBIDDEN_CHARACTER;
    list.count = 0;
    AddMappedKey(&list, &key);
    return EmitPieces(&list, output, capacity, length);
}

static int IsKnownOperation(int operation) {
    return operation == CAPTURE_SET_VALUE || operation == CAPTURE_DELETE_KEY;
}

static int EventUsable(const CaptureEvent* event) {
    return event != NULL && IsKnownOperation(event->operation) && TextUsable(event->processImage) &&
           TextUsable(event->keyName) &&
           (event->operation != CAPTURE_SET_VALUE || TextUsable(event->valueName));
}

static int EventHoldsForbiddenUnit(const CaptureEvent* event, CaptureText processName, const MappedKey* key) {
    return HoldsForbiddenUnit(processName) || HoldsForbiddenUnit(key->rest) ||
           (event->operation == CAPTURE_SET_VALUE && HoldsForbiddenUnit(event->valueName));
}

/* Rooms for the numbers the detail and result fields may need, kept by the caller while the pieces
 * point into them. */
typedef struct {
    char type[NUMBER_ROOM];
    char dataLength[NUMBER_ROOM];
    char status[NUMBER_ROOM];
} NumberRooms;

static void AddSetValueFields(PieceList* list, const CaptureEvent* event, const MappedKey* key,
                              NumberRooms* rooms) {
    AddAscii(list, SET_VALUE);
    AddAscii(list, TAB);
    AddMappedKey(list, key);
    AddAscii(list, BACKSLASH);
    AddUnits(list, event->valueName);
    AddAscii(list, TAB);
    AddAscii(list, ResultText(event->status, rooms->status));
    AddAscii(list, TAB);
    AddAscii(list, TYPE_LABEL);
    AddAscii(list, TypeName(event->valueType, rooms->type));
    AddAscii(list, LENGTH_LABEL);
    AddAscii(list, Decimal(event->dataLength, rooms->dataLength));
}

static void AddDeleteKeyFields(PieceList* list, const CaptureEvent* event, const MappedKey* key,
                               NumberRooms* rooms) {
    AddAscii(list, DELETE_KEY);
    AddAscii(list, TAB);
    AddMappedKey(list, key);
    AddAscii(list, TAB);
    AddAscii(list, ResultText(event->status, rooms->status));
    AddAscii(list, TAB);
    AddAscii(list, DELETE_KEY_DETAIL);
}

static uint32_t LineLimit(uint32_t capacity) {
    return capacity < CAPTURE_LINE_MAX_UNITS ? capacity : CAPTURE_LINE_MAX_UNITS;
}

CaptureResult CaptureBuildLine(const CaptureEvent* event, CaptureText userSid, uint16_t* output,
                               uint32_t capacity, uint32_t* length) {
    MappedKey key;
    CaptureText processName;
    PieceList list;
    NumberRooms rooms;
    if (length != NULL)
        *length = 0;
    if (!OutputUsable(output, capacity, length) || !EventUsable(event) || !TextUsable(userSid))
        return CAPTURE_BAD_ARGUMENT;
    if (!MapKey(event->keyName, userSid, &key))
        return CAPTURE_UNMAPPED;
    processName = ImageFileName(event->processImage);
    if (EventHoldsForbiddenUnit(event, processName, &key))
        return CAPTURE_FORBIDDEN_CHARACTER;
    list.count = 0;
    AddUnits(&list, processName);
    AddAscii(&list, TAB);
    if (event->operation == CAPTURE_SET_VALUE)
        AddSetValueFields(&list, event, &key, &rooms);
    else
        AddDeleteKeyFields(&list, event, &key, &rooms);
    return EmitPieces(&list, output, LineLimit(capacity), length);
}
