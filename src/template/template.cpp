#include "template/template.h"

#include <vector>

#include "common/identifier.h"
#include "common/text.h"

namespace portico {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

enum class Filter { none, shell, json };

class Renderer {
 public:
  Renderer(const std::string& text, const Value& params, const Value* run_dir)
      : text_(text), params_(params), run_dir_(run_dir) {
    if (!params_.is_null() && !params_.is_object())
      throw TemplateError("template parameters must be a map, not " + quoted(params_));
  }

  std::string run() {
    out_.reserve(text_.size() + text_.size() / 2);
    size_t pos = 0;
    for (;;) {
      const size_t open = text_.find("{{", pos);
      if (open == std::string_view::npos) {
        if (active_) out_.append(text_.substr(pos));
        break;
      }
      if (active_) out_.append(text_.substr(pos, open - pos));
      const size_t close = text_.find("}}", open + 2);
      if (close == std::string_view::npos)
        throw TemplateError("unclosed template tag " + quoted(excerpt(open)));
      tag(text_.substr(open + 2, close - open - 2));
      pos = close + 2;
    }
    if (!sections_.empty())
      throw TemplateError("unclosed template section " + quoted(sections_.back().name));
    return std::move(out_);
  }

 private:
  struct Section {
    std::string_view name;
    bool outer_active;
  };

  // Enough of the text after an unclosed "{{" to find it, without dumping a
  // whole command into the message.
  std::string_view excerpt(size_t open) const {
    constexpr size_t kMax = 40;
    return text_.substr(open, kMax);
  }

  void tag(std::string_view raw) {
    const std::string_view inner = trim(raw);
    if (inner.empty()) throw TemplateError("empty template tag '{{}}'");
    const char sigil = inner.front();
    if (sigil == '#' || sigil == '^') {
      const std::string_view name = trim(inner.substr(1));
      if (!is_identifier(name)) throw invalid(raw);
      const bool show = truthy(lookup(name)) == (sigil == '#');
      sections_.push_back({name, active_});
      active_ = active_ && show;
      return;
    }
    if (sigil == '/') {
      const std::string_view name = trim(inner.substr(1));
      if (!is_identifier(name)) throw invalid(raw);
      if (sections_.empty())
        throw TemplateError("template section " + quoted(name) + " closed but never opened");
      if (sections_.back().name != name)
        throw TemplateError("template section " + quoted(sections_.back().name) +
                            " closed as " + quoted(name));
      active_ = sections_.back().outer_active;
      sections_.pop_back();
      return;
    }

    std::string_view name = inner;
    Filter filter = Filter::none;
    if (const size_t bar = inner.find('|'); bar != std::string_view::npos) {
      name = trim(inner.substr(0, bar));
      const std::string_view f = trim(inner.substr(bar + 1));
      if (!is_identifier(f)) throw invalid(raw);
      if (f == "shell") filter = Filter::shell;
      else if (f == "json") filter = Filter::json;
      else throw TemplateError("unknown template filter " + quoted(f) + " for " + quoted(name));
    }
    if (!is_identifier(name)) throw invalid(raw);
    const Value& v = lookup(name);
    if (!active_) return;
    switch (filter) {
      case Filter::none: out_ += text_form(v); break;
      case Filter::shell: {
        const std::string t = text_form(v);
        if (t.find('\0') != std::string::npos)
          throw TemplateError("template variable " + quoted(name) +
                              " holds a NUL character, which a shell argument cannot carry");
        out_ += shell_quote(t);
        break;
      }
      case Filter::json:
        try {
          out_ += v.dump(-1, ' ', false, Value::error_handler_t::strict);
        } catch (const nlohmann::json::exception&) {
          throw TemplateError("template variable " + quoted(name) + " is not valid UTF-8");
        }
        break;
    }
  }

  TemplateError invalid(std::string_view raw) const {
    const std::string whole = "{{" + std::string(raw) + "}}";
    return TemplateError("invalid template tag " + quoted(std::string_view(whole)));
  }

  const Value& lookup(std::string_view name) const {
    if (run_dir_ && name == "run_dir") return *run_dir_;
    if (params_.is_object()) {
      // ordered_json looks keys up linearly; the maps are small.
      for (auto it = params_.begin(); it != params_.end(); ++it)
        if (it.key() == name) return it.value();
    }
    throw TemplateError("unknown template variable " + quoted(name));
  }

  std::string_view text_;
  const Value& params_;
  const Value* run_dir_;
  std::string out_;
  std::vector<Section> sections_;
  bool active_ = true;
};

}  // namespace

std::string shell_quote(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    throw TemplateError("a shell argument cannot contain a NUL character");
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string TemplateEngine::render(const std::string& text, const Value& params) const {
  return Renderer(text, params, nullptr).run();
}

std::string TemplateEngine::render(const std::string& text, const Value& params,
                                   const std::optional<std::string>& run_dir) const {
  const Value dir = run_dir ? Value(*run_dir) : Value(std::string());
  return Renderer(text, params, &dir).run();
}

}  // namespace portico
