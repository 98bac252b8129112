#include "api/openapi.h"

#include <utility>

#include "validator/validator.h"

namespace portico::api {
namespace {

bool flag(const Value& decl, const char* key) {
  const Value* v = given_member(decl, key);
  return v && v->is_boolean() && v->get<bool>();
}

// A parameter as the validator checks it. Null stands for "not given", which
// only a required parameter without a default refuses.
Value parameter_schema(const Value& decl) {
  const Value* t = given_member(decl, "type");
  const std::string type = t && t->is_string() ? t->get<std::string>() : "string";
  Value s = Value::object();
  s["type"] = Value::array({type, "null"});
  if (const Value* d = given_member(decl, "description"); d && d->is_string()) s["description"] = *d;
  if (const Value* d = given_member(decl, "default")) s["default"] = *d;
  if (const Value* c = given_member(decl, "choices"); c && c->is_array()) {
    Value choices = *c;
    choices.push_back(nullptr);
    s["enum"] = std::move(choices);
  }
  if (type == "string") {
    // RE2 matches the whole value; JSON Schema patterns match anywhere.
    if (const Value* p = given_member(decl, "pattern"); p && p->is_string())
      s["pattern"] = "^(?:" + p->get<std::string>() + ")$";
    if (const Value* m = given_member(decl, "min_length")) s["minLength"] = *m;
    const Value* mx = given_member(decl, "max_length");
    s["maxLength"] = mx ? *mx : Value(kDefaultParameterMaxLength);
  }
  if (type == "integer" || type == "number") {
    if (const Value* m = given_member(decl, "min")) s["minimum"] = *m;
    if (const Value* m = given_member(decl, "max")) s["maximum"] = *m;
  }
  return s;
}

Value request_schema(const Value& def) {
  Value props = Value::object();
  Value required = Value::array();
  if (const Value* decls = given_member(def, "parameters"); decls && decls->is_object())
    for (auto it = decls->begin(); it != decls->end(); ++it) {
      props[it.key()] = parameter_schema(it.value());
      if (flag(it.value(), "required") && !given_member(it.value(), "default")) required.push_back(it.key());
    }
  Value s{{"type", "object"}, {"properties", std::move(props)}, {"additionalProperties", false}};
  if (!required.empty()) s["required"] = std::move(required);
  return s;
}

Value answer(const std::string& description, const char* schema) {
  return Value{{"description", description},
               {"content", {{"application/json", {{"schema", {{"$ref", std::string("#/components/schemas/") + schema}}}}}}}};
}

Value run_operation(const std::string& name, const Value& def) {
  Value op = Value::object();
  op["operationId"] = "run_" + name;
  op["summary"] = "Run " + name;
  if (const Value* d = given_member(def, "description"); d && d->is_string()) op["description"] = *d;
  op["requestBody"] = {{"required", false},
                       {"content", {{"application/json", {{"schema", request_schema(def)}}}}}};
  op["responses"] = {
      {"200", answer("The command ran, whatever its exit status", "ExecutionResult")},
      {"400", answer("Invalid parameters, or a body that is not a JSON object", "ExecutionResult")},
      {"401", answer("No or bad credentials", "Error")},
      {"404", answer("Unknown alias, or one the caller may not run", "Error")},
      {"429", answer("Too many runs in progress; retry after Retry-After seconds", "Error")},
      {"500", answer("The run failed, or its output passed MaxOutputBytes", "ExecutionResult")},
      {"503", answer("Docker not available", "ExecutionResult")},
      {"504", answer("The run timed out", "ExecutionResult")},
  };
  return op;
}

Value job_operation(const std::string& name, const Value& def) {
  Value op = Value::object();
  op["operationId"] = "start_" + name;
  op["summary"] = "Start " + name + " as a job";
  if (const Value* d = given_member(def, "description"); d && d->is_string()) op["description"] = *d;
  op["requestBody"] = {{"required", false},
                       {"content", {{"application/json", {{"schema", request_schema(def)}}}}}};
  Value accepted = answer("Queued; follow Location or /v1/jobs/{id}/events", "JobAccepted");
  accepted["headers"] = {{"Location", {{"schema", {{"type", "string"}}}}}};
  op["responses"] = {
      {"202", std::move(accepted)},
      {"400", answer("Invalid parameters, or a body that is not a JSON object", "ExecutionResult")},
      {"401", answer("No or bad credentials", "Error")},
      {"404", answer("Unknown alias, or one the caller may not run", "Error")},
      {"429", answer("Too many runs in progress; retry after Retry-After seconds", "Error")},
  };
  return op;
}

// The routes every caller has for the jobs they started.
void add_job_paths(Value& paths) {
  const Value id{{"name", "id"}, {"in", "path"}, {"required", true}, {"schema", {{"type", "string"}}}};
  auto query = [](const char* name, Value schema) {
    return Value{{"name", name}, {"in", "query"}, {"required", false}, {"schema", std::move(schema)}};
  };
  const Value unknown = answer("No such job, or another user's", "Error");
  paths["/v1/jobs"] = {
      {"get",
       {{"operationId", "list_jobs"},
        {"summary", "The caller's jobs and runs, newest first"},
        {"parameters", Value::array({query("alias", {{"type", "string"}}), query("status", {{"$ref", "#/components/schemas/JobStatus"}}),
                                     query("before", {{"type", "string"}}),
                                     query("limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 500}, {"default", 50}})})},
        {"responses", {{"200", answer("One page of jobs, without results", "JobList")}, {"400", answer("A bad filter", "Error")}}}}}};
  paths["/v1/jobs/{id}"] = {
      {"parameters", Value::array({id})},
      {"get",
       {{"operationId", "get_job"},
        {"summary", "One job; its result once it has finished"},
        {"responses", {{"200", answer("The job", "Job")}, {"404", unknown}}}}},
      {"delete",
       {{"operationId", "cancel_job"},
        {"summary", "Cancel a job: a queued one never starts, a running one is killed"},
        {"responses",
         {{"200", answer("Cancelled before it started", "Job")},
          {"202", answer("Running; it ends as cancelled once its processes are gone", "Job")},
          {"404", unknown},
          {"409", answer("The job has already finished", "Error")}}}}}};
  paths["/v1/jobs/{id}/events"] = {
      {"parameters", Value::array({id})},
      {"get",
       {{"operationId", "job_events"},
        {"summary", "The job's output and status as server-sent events (stdout, stderr, status, truncated, end)"},
        {"responses",
         {{"200", {{"description", "An event stream that ends after the end event"},
                   {"content", {{"text/event-stream", {{"schema", {{"type", "string"}}}}}}}}},
          {"404", unknown}}}}}};
}

Value components() {
  const Value text{{"type", "string"}};
  const Value maybe_text{{"type", Value::array({"string", "null"})}};
  Value result{{"type", "object"},
               {"required", Value::array({"success"})},
               {"properties",
                {{"success", {{"type", "boolean"}}},
                 {"returncode", {{"type", Value::array({"integer", "null"})}}},
                 {"pid", {{"type", Value::array({"integer", "null"})}}},
                 {"container_id", maybe_text},
                 {"image_id", maybe_text},
                 {"stdout", maybe_text},
                 {"stderr", maybe_text},
                 {"error", text},
                 {"validation_error", {{"type", "boolean"}}},
                 {"errors", {{"type", "array"}, {"items", text}}},
                 {"timed_out", {{"type", "boolean"}}},
                 {"file_outputs", {{"type", "object"}, {"additionalProperties", maybe_text}}}}}};
  Value error{{"type", "object"},
              {"required", Value::array({"error"})},
              {"properties", {{"success", {{"const", false}}}, {"error", text}}}};
  const Value status{{"type", "string"},
                     {"enum", Value::array({"queued", "running", "succeeded", "failed", "timed_out", "cancelled",
                                            "interrupted"})}};
  Value job{{"type", "object"},
            {"required", Value::array({"job_id", "status", "alias", "user", "created", "started", "finished"})},
            {"properties",
             {{"job_id", text},
              {"status", {{"$ref", "#/components/schemas/JobStatus"}}},
              {"alias", text},
              {"user", text},
              {"created", text},
              {"started", maybe_text},
              {"finished", maybe_text},
              {"result", {{"oneOf", Value::array({{{"$ref", "#/components/schemas/ExecutionResult"}},
                                                  {{"$ref", "#/components/schemas/Error"}},
                                                  {{"type", "null"}}})}}}}}};
  Value list{{"type", "object"},
             {"required", Value::array({"jobs", "next_before"})},
             {"properties",
              {{"jobs", {{"type", "array"}, {"items", {{"$ref", "#/components/schemas/Job"}}}}},
               {"next_before", maybe_text}}}};
  Value accepted{{"type", "object"},
                 {"required", Value::array({"job_id", "status"})},
                 {"properties", {{"job_id", text}, {"status", {{"const", "queued"}}}}}};
  return Value{{"schemas",
                {{"ExecutionResult", std::move(result)},
                 {"Error", std::move(error)},
                 {"JobStatus", status},
                 {"Job", std::move(job)},
                 {"JobList", std::move(list)},
                 {"JobAccepted", std::move(accepted)}}},
               {"securitySchemes",
                {{"basic", {{"type", "http"}, {"scheme", "basic"}}},
                 {"bearer", {{"type", "http"}, {"scheme", "bearer"}, {"bearerFormat", "JWT"}}}}}};
}

}  // namespace

Value openapi_document(const Value& aliases, const std::function<bool(const std::string&)>& may_run,
                       const std::string& version) {
  Value paths = Value::object();
  for (auto it = aliases.begin(); it != aliases.end(); ++it)
    if (may_run(it.key())) {
      paths["/v1/run/" + it.key()] = {{"post", run_operation(it.key(), it.value())}};
      paths["/v1/jobs/" + it.key()] = {{"post", job_operation(it.key(), it.value())}};
    }
  add_job_paths(paths);
  Value doc = Value::object();
  doc["openapi"] = "3.1.0";
  doc["info"] = {{"title", "Portico"}, {"version", version.empty() ? "unknown" : version}};
  doc["security"] = Value::array({{{"basic", Value::array()}}, {{"bearer", Value::array()}}});
  doc["paths"] = std::move(paths);
  doc["components"] = components();
  return doc;
}

}  // namespace portico::api
