// The decorated names under which Orvane.dll exports the three IOrvaneInc statics, for hosts that
// load the library at run time. MinGW's Itanium mangling gives the same names on both
// architectures.
#pragma once

namespace orvane_exports {

inline constexpr char kCreateOrvane[] = "_ZN10IOrvaneInc12CreateOrvaneENS_7OV_TYPEE";
inline constexpr char kDestroyOrvane[] = "_ZN10IOrvaneInc13DestroyOrvaneEPPS_";
inline constexpr char kIsEliminatePath[] =
    "_ZN10IOrvaneInc15IsEliminatePathERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";

} // namespace orvane_exports
