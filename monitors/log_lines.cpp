// monitors/log_lines.cpp
#include "monitors/log_lines.h"

#include <algorithm>
#include <cstring>

namespace vlzt {
namespace {

bool Blank(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (data[i] != ' ' && data[i] != '\r' && data[i] != '\n') return false;
  return true;
}

}  // namespace

LogLineReader::LogLineReader(const platform::ReadOnlyFile& file, uint64_t offset, size_t blockSize)
    : file_(file), buffer_(std::max<size_t>(blockSize, 4096)), bufferOffset_(offset), position_(offset) {}

void LogLineReader::Fill(size_t want) {
  if (end_ - begin_ >= want || eof_) return;
  // Keep the unread bytes, move them to the front and read behind them.
  size_t kept = end_ - begin_;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
    bufferOffset_ += begin_;
    begin_ = 0;
    end_ = kept;
  }
  while (end_ - begin_ < want && !eof_) {
    int64_t n = file_.ReadAt(bufferOffset_ + end_, buffer_.data() + end_, buffer_.size() - end_);
    if (n < 0) {
      failed_ = true;
      eof_ = true;
    } else if (n == 0) {
      eof_ = true;
    } else {
      end_ += static_cast<size_t>(n);
    }
  }
}

bool LogLineReader::NextPiece(size_t maxChars, Piece& piece) {
  Fill(maxChars + 1);
  size_t avail = end_ - begin_;
  if (avail == 0) return false;
  const char* p = buffer_.data() + begin_;
  size_t window = std::min(avail, maxChars + 1);
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', window));
  piece.data = p;
  piece.lineEnd = false;
  piece.crlf = false;
  if (nl) {
    size_t i = static_cast<size_t>(nl - p);
    bool crlf = i > 0 && p[i - 1] == '\r';
    size_t chars = crlf ? i : i + 1;
    if (chars <= maxChars) {
      piece.bytes = i + 1;
      piece.chars = chars;
      piece.lineEnd = true;
      piece.crlf = crlf;
    } else {
      piece.bytes = piece.chars = maxChars;
    }
  } else {
    piece.bytes = piece.chars = std::min(avail, maxChars);
  }
  piece.finished = piece.lineEnd || piece.chars == maxChars;
  piece.blank = Blank(p, piece.bytes);
  begin_ += piece.bytes;
  piece.end = bufferOffset_ + begin_;
  return true;
}

LogLineReader::Result LogLineReader::Next(std::string& line) {
  line.clear();
  size_t size = 0;
  uint64_t lineStart = position_;
  while (true) {
    uint64_t pieceStart = bufferOffset_ + begin_;
    Piece piece;
    if (!NextPiece(kLogPieceChars, piece)) {
      // The file ends inside the line (or before one): it is read once it is finished.
      if (failed_) return kError;
      position_ = line.empty() ? pieceStart : lineStart;
      return kEnd;
    }
    if (!piece.finished) {
      if (failed_) return kError;
      position_ = line.empty() ? pieceStart : lineStart;
      return kEnd;
    }
    if (piece.blank) {
      if (line.empty()) position_ = piece.end;
      continue;
    }
    if (line.empty()) lineStart = pieceStart;
    line.append(piece.data, piece.crlf ? piece.bytes - 2 : piece.bytes);
    if (piece.crlf) line += '\n';
    size += piece.chars + 5;
    if (piece.chars == kLogPieceChars) {
      if (size >= kLogLineLimit) {
        position_ = piece.end;
        return kTooLong;
      }
      continue;
    }
    position_ = piece.end;
    return kLine;
  }
}

uint64_t FindEndOffset(const platform::ReadOnlyFile& file, uint64_t offset, bool wholeLinesOnly) {
  LogLineReader reader(file, offset);
  LogLineReader::Piece piece;
  uint64_t end = offset, lastNonBlank = 0, lastLineEnd = offset;
  bool any = false, nonBlankSinceLineEnd = false;
  while (reader.NextPiece(kLogPieceChars + 1, piece)) {
    end = piece.end;
    if (!piece.blank) {
      any = true;
      lastNonBlank = piece.end;
      nonBlankSinceLineEnd = true;
    }
    if (piece.lineEnd) {
      lastLineEnd = piece.end;
      nonBlankSinceLineEnd = false;
    }
  }
  if (!any) return end;
  if (wholeLinesOnly && nonBlankSinceLineEnd) return lastLineEnd;
  return lastNonBlank;
}

}  // namespace vlzt
