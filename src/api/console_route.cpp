// The web console's files, embedded at build time: "/" and "/console" lead
// to "/console/", and below it each file is answered with the console's
// security headers and an ETag, so a browser revalidates cheaply.

#include "api/gateway.h"
#include "api/router.h"
#include "console/console.h"

namespace portico::api {

void Gateway::console(const ExchangePtr& ex) {
  const std::string& path = ex->request().path;
  if (path == "/" || path == "/console") {
    Answer a;
    a.status = 302;
    a.content_type = "text/plain; charset=utf-8";
    a.headers.emplace_back("Location", "/console/");
    return ex->reply(std::move(a));
  }
  // The asset set is fixed: a decoded path can only name one of its files, never a file on disk.
  auto decoded = decode_query_value(std::string_view(path).substr(std::string_view("/console/").size()));
  const console::Asset* asset = decoded ? console::find_asset(*decoded) : nullptr;
  Answer a;
  for (const auto& h : console::kResponseHeaders) a.headers.emplace_back(h.name, h.value);
  if (!asset) {
    a.status = 404;
    a.content_type = "text/plain; charset=utf-8";
    a.body = "Not found\n";
    return ex->reply(std::move(a));
  }
  a.headers.emplace_back("ETag", asset->etag);
  a.content_type = asset->content_type;
  if (ex->field("If-None-Match") == asset->etag) {
    a.status = 304;
    return ex->reply(std::move(a));
  }
  a.body.assign(asset->body);
  ex->reply(std::move(a));
}

}  // namespace portico::api
