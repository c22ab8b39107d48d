#pragma once
// Reading a small text file whole, for settings and configuration files.

#include <cstddef>
#include <string>

namespace Compat {

// The whole content of the file at path (UTF-8 bytes), without a leading
// byte-order mark (byteOrderMark, when given, tells whether the file began
// with one). exists is false, and the result true, when there is no
// file. Only a regular file of at most maxBytes is read: anything else in
// its place (a FIFO, a device, a folder) is refused at once with EINVAL,
// without waiting for a writer, and a larger file with EFBIG. Other failures
// leave the system's reason in errno.
bool ReadTextFile(const std::string& path, size_t maxBytes, std::string& content, bool& exists,
                  bool* byteOrderMark = nullptr);

}  // namespace Compat
