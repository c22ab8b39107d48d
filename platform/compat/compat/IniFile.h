#pragma once
// Reading and writing INI files, with the effect of the Windows profile
// functions GetPrivateProfileStringW, GetPrivateProfileIntW and
// WritePrivateProfileStringW. Windows has those, but they write the ANSI
// code page and lose whatever it cannot hold (a Chinese device or user name
// on a Western system), so every system uses these:
//
// - "[section]" lines open sections; "key=value" lines hold values. Section
//   and key names are matched without regard to case, and white space
//   around names and values is ignored. A value enclosed in a pair of equal
//   quotes ('"' or '\'') reads without them. The first matching section and
//   key count; lines that are neither are kept but never matched.
// - A missing file, section or key reads as the default. So does a file
//   larger than 16 MiB, which is not read at all, and anything in the
//   file's place that is not a regular file (a FIFO would otherwise hold
//   the caller until some writer came).
// - A write creates the file, the section and the key as needed and replaces
//   only that key's line; every other line of the file stays byte for byte.
//   A value with white space at either end, or enclosed in a pair of equal
//   quotes, is written inside a pair of double quotes, so that it reads back
//   as it was given.
//   A null value removes the key, a null key the whole section.
// - The file is UTF-8 (a leading byte-order mark is skipped). On Windows, a
//   file that is not valid UTF-8 was written by the system's functions and
//   is read in the ANSI code page; the next write stores it as UTF-8.
//
// Unlike the system's functions, a write is atomic: the new file is written
// beside the old one, flushed to disk and renamed over it, so a crash leaves
// either the old or the new file. Writes are serialised across threads and
// across processes (an exclusive lock on "<file>.lock" around the whole
// read-modify-write), so two writers of different keys both keep their
// value. A write is refused (returns 0) when the file is read-only, or when
// a section, key or value holds a line break, or a section "]" or a key "=",
// or a key begins with "[", which would otherwise split or forge lines. The
// reason is left in errno (EACCES, EINVAL, or what the file system
// reported).

namespace Compat {

// Copies the key's value (or the default, null meaning "") into buffer,
// cut to size - 1 characters and terminated; returns the characters copied.
// A null section or key reads as the default: the name listings of the
// system's function are not provided.
unsigned ReadIniString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer,
                       unsigned size, const wchar_t* path);
// The key's value as a decimal integer with an optional sign, wrapped to 32
// bits; text without leading digits reads 0, a missing key the default.
int ReadIniInt(const wchar_t* section, const wchar_t* key, int defaultValue, const wchar_t* path);
// Non-zero on success.
int WriteIniString(const wchar_t* section, const wchar_t* key, const wchar_t* value, const wchar_t* path);

}  // namespace Compat
