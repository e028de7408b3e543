// platform/file.h
// Files read by position, so a reader never disturbs a writer and sizes beyond 4 GiB work.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vlzt::platform {

class ReadOnlyFile {
 public:
  // Opens `path` for reading; null with `error` set (2 not found, 3 bad path, 5 access
  // denied or not a regular file).
  static std::unique_ptr<ReadOnlyFile> Open(const std::string& path, uint32_t* error = nullptr);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // The size now, or -1 when it cannot be read.
  int64_t Size() const;
  // Reads up to `size` bytes at `offset`: the count, 0 at the end, -1 on an error.
  int64_t ReadAt(uint64_t offset, char* buffer, size_t size) const;

 private:
  explicit ReadOnlyFile(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace vlzt::platform
