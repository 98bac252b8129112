#include "api/exchange.h"

#include "common/text.h"

namespace portico::api {

Exchange::Exchange(std::shared_ptr<Connection> connection, RequestLine request, std::string client)
    : connection_(std::move(connection)),
      request_(std::move(request)),
      client_(std::move(client)),
      correlation_id_(uuid4()) {}

Exchange::~Exchange() {
  if (claim_answer()) connection_->send(error_answer(500, "Internal error"));
}

std::string_view Exchange::field(std::string_view name) const {
  auto it = request_.fields.find(name);
  return it == request_.fields.end() ? std::string_view() : std::string_view(it->value());
}

void Exchange::read_body(std::function<void(int refused)> then) {
  connection_->read_body(shared_from_this(), std::move(then));
}

void Exchange::reply(Answer answer) {
  if (claim_answer()) connection_->send(std::move(answer));
}

void Exchange::watch_client() { connection_->watch_client(weak_from_this()); }

void Exchange::abandon() {
  if (claim_answer()) connection_->close();
}

}  // namespace portico::api
