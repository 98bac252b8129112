#include "interfaces/interfaces.h"

#include <atomic>

namespace portico {
namespace {

std::atomic<ConfigStore*> g_config{nullptr};
std::atomic<Logging*> g_logging{nullptr};
std::atomic<TemplateRenderer*> g_renderer{nullptr};
std::atomic<ParameterValidator*> g_validator{nullptr};
std::atomic<AuthStore*> g_auth{nullptr};

template <typename T>
T& require(const std::atomic<T*>& slot, const char* what) {
  T* p = slot.load(std::memory_order_acquire);
  if (!p) throw std::logic_error(std::string("no ") + what + " installed");
  return *p;
}

}  // namespace

ConfigStore& config() { return require(g_config, "configuration store"); }
Logging& logging() { return require(g_logging, "logging service"); }
TemplateRenderer& renderer() { return require(g_renderer, "template renderer"); }
ParameterValidator& validator() { return require(g_validator, "parameter validator"); }
AuthStore& auth() { return require(g_auth, "authentication store"); }

void set_config(ConfigStore* c) { g_config.store(c, std::memory_order_release); }
void set_logging(Logging* l) { g_logging.store(l, std::memory_order_release); }
void set_renderer(TemplateRenderer* t) { g_renderer.store(t, std::memory_order_release); }
void set_validator(ParameterValidator* v) { g_validator.store(v, std::memory_order_release); }
void set_auth(AuthStore* a) { g_auth.store(a, std::memory_order_release); }

}  // namespace portico
