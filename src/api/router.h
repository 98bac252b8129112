#pragma once
// Routes by method and path segments: "/v1/run/{alias}" matches a path of
// three segments whose first two are "v1" and "run", and hands the third,
// percent-decoded, to the handler. Matching is a loop over segments, linear
// in the path's length whatever the path holds.
//
// Thread rules: add() before serving; find() from any thread.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/verb.hpp>

#include "api/exchange.h"

namespace portico::api {

class Router {
 public:
  using Handler = std::function<void(const ExchangePtr&)>;

  void add(boost::beast::http::verb method, std::string_view pattern, Handler handler);

  struct Found {
    const Handler* handler = nullptr;  // null: no route for this method
    std::vector<std::string> params;
    std::string allow;  // the methods the path has, when it has any ("GET, POST")
  };
  // Absent when the path is malformed (a bad percent escape, a decoded NUL).
  std::optional<Found> find(boost::beast::http::verb method, std::string_view path) const;

 private:
  struct Route {
    boost::beast::http::verb method;
    std::vector<std::string> segments;  // "{}" marks a parameter
    Handler handler;
  };
  std::vector<Route> routes_;
};

// Splits "/a/b%20c" into {"a", "b c"}; absent when malformed.
std::optional<std::vector<std::string>> split_path(std::string_view path);
// Decodes one query-string value ("+" is a space); absent when malformed.
std::optional<std::string> decode_query_value(std::string_view text);

}  // namespace portico::api
