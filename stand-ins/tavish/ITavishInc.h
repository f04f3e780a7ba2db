// Stand-in for the outside library Tavish.dll: folder tokens and Base64 text.
#pragma once

#include <string>

#if defined(TAVISH_BUILDING)
#define TAVISH_API __declspec(dllexport)
#else
#define TAVISH_API __declspec(dllimport)
#endif

struct ITavishInc {
    // The folder a token names ("{pf}", "{win}", "{menu}", "{desk}", "{user_menu}", "{user_desk}"),
    // with `tail` appended; empty for an unknown token or a folder the system cannot tell. The
    // reference stays valid until the calling thread's next call.
    static TAVISH_API const std::string& TrailPath(const std::string& token, const std::string& tail);

    // Standard Base64 (RFC 4648 alphabet, padding, no line breaks) of `length` bytes into `out`,
    // which holds 5 * length bytes. Answers the number of characters written, never more than that
    // buffer holds; 0 for length 0. No terminating NUL is written.
    static TAVISH_API int Base64Encode(const char* data, int length, char* out);
};
