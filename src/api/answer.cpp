#include "api/answer.h"

#include <algorithm>

namespace portico::api {
namespace {

using Serializer = nlohmann::detail::serializer<Value>;

// Answers above this are streamed instead of held as text beside the value.
constexpr size_t kStreamAnswerAbove = 1 << 20;

// Close to the serialised length (escapes aside): a Base64 archive of many
// megabytes is then written once instead of copied at every doubling.
size_t json_size_hint(const Value& v) {
  size_t n = 2;
  switch (v.type()) {
    case Value::value_t::string:
      return v.get_ref<const std::string&>().size() + 2;
    case Value::value_t::object:
      for (auto it = v.begin(); it != v.end(); ++it) n += it.key().size() + 4 + json_size_hint(it.value());
      return n;
    case Value::value_t::array:
      for (const auto& x : v) n += 1 + json_size_hint(x);
      return n;
    default:
      return 24;
  }
}

void dump_into(const Value& v, std::string& out) {
  Serializer(nlohmann::detail::output_adapter<char, std::string>(out), ' ', Value::error_handler_t::replace)
      .dump(v, false, false, 0);
}

class Counter final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  void write_character(char) override { ++n; }
  void write_characters(const char*, size_t count) override { n += count; }
  size_t n = 0;
};

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Where a string may be cut so that escaping both sides apart gives what
// escaping it whole gives: before a byte that starts a character, or after
// four continuation bytes, where no UTF-8 sequence can still be open.
size_t cut_point(const std::string& s, size_t from, size_t want) {
  const size_t end = from + std::max<size_t>(want, 1);
  if (end >= s.size()) return s.size();
  size_t k = end;
  while (k < s.size() && k < end + 4 && continuation(s[k])) ++k;
  return k;
}

}  // namespace

size_t json_length(const Value& v) {
  auto counter = std::make_shared<Counter>();
  Serializer(counter, ' ', Value::error_handler_t::replace).dump(v, false, false, 0);
  return counter->n;
}

Answer json_answer(int status, Value&& body) {
  Answer a;
  a.status = status;
  const size_t hint = json_size_hint(body);
  if (status < 400 && hint > kStreamAnswerAbove) {
    a.json = std::make_shared<const Value>(std::move(body));
    a.json_length = json_length(*a.json);
    return a;
  }
  a.body.reserve(hint + hint / 16);
  dump_into(body, a.body);
  body = Value();
  return a;
}

Answer json_answer(int status, std::shared_ptr<const Value> body) {
  Answer a;
  a.status = status;
  const size_t hint = json_size_hint(*body);
  if (status < 400 && hint > kStreamAnswerAbove) {
    a.json = std::move(body);
    a.json_length = json_length(*a.json);
    return a;
  }
  a.body.reserve(hint + hint / 16);
  dump_into(*body, a.body);
  return a;
}

Answer error_answer(int status, const std::string& message) { return json_answer(status, Value{{"error", message}}); }

JsonPieces::JsonPieces(std::shared_ptr<const Value> value) : root_(std::move(value)) {
  stack_.push_back(Frame{root_.get()});
}

void JsonPieces::dump(const Value& v, std::string& out) {
  scratch_.clear();
  dump_into(v, scratch_);
  out += scratch_;
}

bool JsonPieces::next(std::string& out, size_t size) {
  out.clear();
  while (!stack_.empty() && out.size() < size) {
    Frame& f = stack_.back();
    const Value& v = *f.value;
    if (v.is_object()) {
      const Value::object_t::Container& members = v.get_ref<const Value::object_t&>();
      if (!f.opened) out += '{', f.opened = true;
      if (f.next == members.size()) {
        out += '}';
        stack_.pop_back();
        continue;
      }
      if (f.next > 0) out += ',';
      const auto& member = members[f.next++];
      dump(Value(member.first), out);
      out += ':';
      stack_.push_back(Frame{&member.second});  // f is not used after this
    } else if (v.is_array()) {
      const auto& items = v.get_ref<const Value::array_t&>();
      if (!f.opened) out += '[', f.opened = true;
      if (f.next == items.size()) {
        out += ']';
        stack_.pop_back();
        continue;
      }
      if (f.next > 0) out += ',';
      stack_.push_back(Frame{&items[f.next++]});
    } else if (v.is_string()) {
      const auto& s = v.get_ref<const std::string&>();
      if (!f.opened) out += '"', f.opened = true;
      if (f.next == s.size()) {
        out += '"';
        stack_.pop_back();
        continue;
      }
      const size_t end = cut_point(s, f.next, size - out.size());
      scratch_.clear();
      dump_into(Value(std::string_view(s).substr(f.next, end - f.next)), scratch_);
      out.append(scratch_, 1, scratch_.size() - 2);  // without its quotes
      f.next = end;
    } else {
      dump(v, out);
      stack_.pop_back();
    }
  }
  return !out.empty();
}

}  // namespace portico::api
