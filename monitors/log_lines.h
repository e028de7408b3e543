// monitors/log_lines.h
// How the log-file monitor reads a text log: in pieces of at most 498 characters (a CR LF
// counts as one line feed), pieces made only of blanks and line ends skipped, a line ended
// by a piece shorter than 498 characters. Blocks of the file are read at once; only whole
// lines are handed out, so a line still being written is read once it is finished.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace vlzt {

inline constexpr size_t kLogPieceChars = 498;
// A line whose pieces (each counted with 5 more) reach this size is given up.
inline constexpr size_t kLogLineLimit = 30001;

class LogLineReader {
 public:
  enum Result {
    kLine,     // `line` holds the next line with its line feed
    kEnd,      // no further whole line; Position() is where the next one will begin
    kTooLong,  // the line reached kLogLineLimit; Position() is after the pieces read
    kError,    // the file could not be read; Position() is unchanged since the last line
  };

  LogLineReader(const platform::ReadOnlyFile& file, uint64_t offset, size_t blockSize = 1 << 20);

  Result Next(std::string& line);
  // Where the next unread line begins (bytes from the start of the file).
  uint64_t Position() const { return position_; }

  // One piece of at most `maxChars` characters at the reading place; false at the end.
  struct Piece {
    const char* data;
    size_t bytes;      // bytes in the file
    size_t chars;      // characters as read (a CR LF is one)
    bool lineEnd;      // the piece ends with a line feed
    bool crlf;         // ... written as CR LF
    bool finished;     // it ends with a line feed or has maxChars characters
    bool blank;        // only blanks, carriage returns and line feeds
    uint64_t end;      // file offset after the piece
  };
  bool NextPiece(size_t maxChars, Piece& piece);
  bool failed() const { return failed_; }

 private:
  // Makes at least `want` unread bytes available unless the file ends first.
  void Fill(size_t want);

  const platform::ReadOnlyFile& file_;
  std::vector<char> buffer_;
  uint64_t bufferOffset_;  // file offset of buffer_[0]
  size_t begin_ = 0;       // next unread byte
  size_t end_ = 0;         // end of the bytes read
  bool eof_ = false;
  bool failed_ = false;
  uint64_t position_;
};

// The place after the last non-blank piece from `offset` (pieces of at most 499
// characters), or the end of the file when there is none. With `wholeLinesOnly` an
// unfinished last line is left to be read: the result is then the start of that line.
uint64_t FindEndOffset(const platform::ReadOnlyFile& file, uint64_t offset, bool wholeLinesOnly);

}  // namespace vlzt
