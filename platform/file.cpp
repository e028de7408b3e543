// platform/file.cpp
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace vlzt::platform {

std::unique_ptr<ReadOnlyFile> ReadOnlyFile::Open(const std::string& path, uint32_t* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  uint32_t code = 0;
  struct stat st;
  if (fd < 0) {
    code = ErrorFromErrno(errno);
  } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    code = 5;  // a directory, a device or a pipe is not a log file
    close(fd);
    fd = -1;
  }
  if (error) *error = code;
  if (fd < 0) return nullptr;
  return std::unique_ptr<ReadOnlyFile>(new ReadOnlyFile(fd));
}

ReadOnlyFile::~ReadOnlyFile() { close(fd_); }

int64_t ReadOnlyFile::Size() const {
  struct stat st;
  return fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t ReadOnlyFile::ReadAt(uint64_t offset, char* buffer, size_t size) const {
  while (true) {
    ssize_t n = pread(fd_, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace vlzt::platform
