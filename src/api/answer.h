#pragma once
// What a handler answers, and JSON answers made so that a large one never
// exists twice in memory: above a megabyte its text is produced in pieces
// while it is sent.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"

namespace portico::api {

// The body of an answer that is written as it is produced (an event stream).
// The connection closes after it.
class AnswerStream {
 public:
  virtual ~AnswerStream() = default;
  // Appends what is ready to `out` (possibly nothing); false once the stream
  // has ended and everything has been handed out.
  virtual bool next(std::string& out) = 0;
  // Calls `ready` once, from any thread, when next() has something new: at
  // once if it already has.
  virtual void wait(std::function<void()> ready) = 0;
};

struct Answer {
  int status = 200;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type and Content-Length
  std::string body;
  // Set for a streamed answer: `body` is then empty and `json_length` is the
  // exact length of the serialised value.
  std::shared_ptr<const Value> json;
  size_t json_length = 0;
  std::shared_ptr<AnswerStream> stream;  // set for a streamed body of unknown length
  bool close = false;  // close the connection after it

  size_t length() const { return json ? json_length : body.size(); }
};

// Takes the value, so that a large one is never copied. Statuses below 400
// above a megabyte are streamed; the length is counted here, on the calling
// thread, so call it off the I/O threads for large values.
Answer json_answer(int status, Value&& body);
// The same for a value that others hold too.
Answer json_answer(int status, std::shared_ptr<const Value> body);
// {"error": message}
Answer error_answer(int status, const std::string& message);

// The serialised form of a value in pieces, byte for byte what one dump()
// with replacement of invalid UTF-8 writes.
class JsonPieces {
 public:
  explicit JsonPieces(std::shared_ptr<const Value> value);
  // Replaces `out` with the next piece of about `size` bytes (more by at most
  // one scalar or key); false when nothing is left.
  bool next(std::string& out, size_t size);

 private:
  struct Frame {
    const Value* value;
    size_t next = 0;  // member, element or byte
    bool opened = false;
  };
  void dump(const Value& v, std::string& out);

  std::shared_ptr<const Value> root_;
  std::vector<Frame> stack_;
  std::string scratch_;
};

// The length dump() would give, counted without holding the text.
size_t json_length(const Value& v);

}  // namespace portico::api
