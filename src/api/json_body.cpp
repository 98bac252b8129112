#include "api/json_body.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace portico::api {
namespace {

using Members = Value::object_t::Container;

// Builds the value from parser events; never recurses.
class Builder final : public nlohmann::json_sax<Value> {
 public:
  explicit Builder(size_t max_depth) : max_depth_(max_depth) {}

  bool null() override { return put(Value()); }
  bool boolean(bool v) override { return put(Value(v)); }
  bool number_integer(number_integer_t v) override { return put(Value(v)); }
  bool number_unsigned(number_unsigned_t v) override { return put(Value(v)); }
  bool number_float(number_float_t v, const string_t&) override { return put(Value(v)); }
  bool string(string_t& v) override { return put(Value(std::move(v))); }
  bool binary(binary_t&) override { return false; }  // JSON text has none
  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) override { return open(Value::object()); }
  bool start_array(std::size_t) override { return open(Value::array()); }
  bool end_object() override {
    drop_repeated_keys(stack_.back()->get_ref<Value::object_t&>());
    stack_.pop_back();
    return true;
  }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  bool too_deep() const { return too_deep_; }
  Value take() { return std::move(root_); }

 private:
  bool open(Value container) {
    if (stack_.size() >= max_depth_) {
      too_deep_ = true;
      return false;
    }
    Value* slot = place(std::move(container));
    stack_.push_back(slot);
    return true;
  }

  bool put(Value v) {
    place(std::move(v));
    return true;
  }

  Value* place(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Value& top = *stack_.back();
    if (top.is_array()) {
      auto& items = top.get_ref<Value::array_t&>();
      items.push_back(std::move(v));
      return &items.back();
    }
    // The container's own append: ordered_map's insertion searches every key.
    Members& members = top.get_ref<Value::object_t&>();
    members.emplace_back(std::move(key_), std::move(v));
    return &members.back().second;
  }

  // Repeated keys found by sorting, O(n log n) and without hashing an attacker
  // can aim at; only an object that has any is rebuilt.
  static void drop_repeated_keys(Value::object_t& obj) {
    Members& members = obj;
    if (members.size() < 2) return;
    std::vector<size_t> order(members.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return members[a].first < members[b].first; });
    std::vector<size_t> last_of(members.size(), SIZE_MAX);  // first place -> place of the last value
    bool repeated = false;
    for (size_t i = 0; i < order.size();) {
      size_t j = i;
      while (j + 1 < order.size() && members[order[j + 1]].first == members[order[i]].first) ++j;
      last_of[order[i]] = order[j];
      repeated |= j > i;
      i = j + 1;
    }
    if (!repeated) return;
    Members kept;
    for (size_t i = 0; i < members.size(); ++i)
      if (last_of[i] != SIZE_MAX) kept.emplace_back(members[i].first, std::move(members[last_of[i]].second));
    members.swap(kept);
  }

  const size_t max_depth_;
  Value root_;
  std::vector<Value*> stack_;
  std::string key_;
  bool too_deep_ = false;
};

}  // namespace

std::optional<Value> parse_json_body(std::string_view text, std::string& error, size_t max_depth) {
  Builder builder(max_depth);
  if (!Value::sax_parse(text, &builder)) {
    error = builder.too_deep() ? "Request body nests too deeply" : "Request body is not valid JSON";
    return std::nullopt;
  }
  return builder.take();
}

}  // namespace portico::api
