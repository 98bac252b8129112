#include "api/metrics.h"

#include "common/text.h"

namespace portico::api {
namespace {

const double kBounds[] = {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};

std::string prom_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

static_assert(std::size(kBounds) == 12);

void Metrics::record_run(const std::string& alias, const std::string& outcome, double seconds) {
  std::lock_guard<std::mutex> l(mu_);
  ++runs_[{alias, outcome}];
  for (size_t i = 0; i < kBuckets; ++i)
    if (seconds <= kBounds[i]) ++bucket_counts_[i];
  duration_sum_ += seconds;
  ++duration_count_;
}

void Metrics::count_sign_in(const std::string& outcome) {
  std::lock_guard<std::mutex> l(mu_);
  ++sign_ins_[outcome];
}

void Metrics::count_refusal(int status) {
  std::lock_guard<std::mutex> l(mu_);
  ++refusals_[status];
}

std::string Metrics::render() const {
  std::lock_guard<std::mutex> l(mu_);
  std::string out;
  family(out, "portico_runs_total", "counter", "Alias runs by outcome.");
  for (const auto& [key, n] : runs_)
    out += "portico_runs_total{alias=\"" + prom_escape(key.first) + "\",outcome=\"" + key.second + "\"} " +
           std::to_string(n) + "\n";
  family(out, "portico_run_duration_seconds", "histogram", "Wall time of alias runs.");
  for (size_t i = 0; i < kBuckets; ++i)
    out += "portico_run_duration_seconds_bucket{le=\"" + plain_decimal(kBounds[i]) + "\"} " +
           std::to_string(bucket_counts_[i]) + "\n";
  out += "portico_run_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(duration_count_) + "\n";
  out += "portico_run_duration_seconds_sum " + plain_decimal(duration_sum_) + "\n";
  out += "portico_run_duration_seconds_count " + std::to_string(duration_count_) + "\n";
  family(out, "portico_runs_in_flight", "gauge", "Runs executing now.");
  out += "portico_runs_in_flight " + std::to_string(runs_in_flight.load()) + "\n";
  family(out, "portico_runs_queued", "gauge", "Runs waiting for a run thread.");
  out += "portico_runs_queued " + std::to_string(runs_queued.load()) + "\n";
  family(out, "portico_sign_in_failures_total", "counter", "Failed and throttled sign-ins.");
  for (const auto& [outcome, n] : sign_ins_)
    out += "portico_sign_in_failures_total{outcome=\"" + outcome + "\"} " + std::to_string(n) + "\n";
  family(out, "portico_connections_open", "gauge", "Open client connections.");
  out += "portico_connections_open " + std::to_string(connections.load()) + "\n";
  family(out, "portico_http_refusals_total", "counter", "Requests refused before routing, by status.");
  for (const auto& [status, n] : refusals_)
    out += "portico_http_refusals_total{status=\"" + std::to_string(status) + "\"} " + std::to_string(n) + "\n";
  return out;
}

}  // namespace portico::api
