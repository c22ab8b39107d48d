#pragma once
// Aux::Profile::Global: the user profile store. It keeps one login item per
// user id, an IXData record of text, integer and boolean values, in a SQLite
// database ("<data folder>/keepsafe.db" unless Open chose another file).
//
// A login item is handed out live: the store keeps one record object per
// user id, and every setter called on it (and RemoveKey) writes the value
// to the database before the call returns, so another thread, a later
// GetLoginItem or another process sees it. A write that could not be made
// durable fails (returns 0) and leaves the record as it was. Arrays are not
// kept in login items: SetArray on one fails. Each GetLoginItem reloads the
// item from the database, so changes made by another process show up in the
// record handed out.
//
// The database is opened on first use. One that is corrupt or unreadable is
// moved aside (renamed "<file>.corrupt-<date>-<time>"), logged, and replaced
// by an empty one. Two processes may share the file: it is kept in
// write-ahead-log mode and a locked database is waited for up to five
// seconds.
//
// User id 0 names nobody: no item is ever stored under it. Every function is
// thread-safe and returns non-zero on success.

#include <cstdint>
#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/keepsafe/KeepsafeExport.h"

namespace Aux {
namespace Profile {
namespace Global {

// The login item of the user: on success *item holds a counted reference to
// the live record, which the caller releases. The flag is reserved (pass 0).
KEEPSAFE_API int GetLoginItem(uint32_t userId, IXData** item, int flag);

// Creates the user's item when it is missing and writes every value of
// values into it in one transaction (its other keys stay); a null values
// only makes sure the item exists. Arrays in values are refused.
KEEPSAFE_API int SaveLoginItem(uint32_t userId, IXData* values);

// Non-zero when the store holds an item for the user.
KEEPSAFE_API int HasLoginItem(uint32_t userId);

// The user ids that have an item, ascending.
KEEPSAFE_API int ListLoginItems(std::vector<uint32_t>& userIds);

// Deletes the user's item; records of it still held by callers are cut off
// (their setters fail from then on). Non-zero when an item was deleted.
KEEPSAFE_API int RemoveLoginItem(uint32_t userId);

// Switches the store to the database file at path (null or empty: the
// default file), closing the current one. Records handed out before keep
// writing to the file they came from.
KEEPSAFE_API int Open(const wchar_t* path);
// Closes the database; the next call opens the default file again (or the
// file given to Open).
KEEPSAFE_API void Close();
// Full path of the database file the store uses.
KEEPSAFE_API CStringW GetStorePath();

}  // namespace Global
}  // namespace Profile
}  // namespace Aux
