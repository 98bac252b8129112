#pragma once
// Image pull policies of container aliases: when an image is pulled outside
// Docker's own implicit pull.

#include <memory>
#include <optional>
#include <set>
#include <vector>
#include <string>

#include "common/value.h"
#include "docker/docker.h"
#include "interfaces/alias.h"

namespace portico::imagery {

// Published policy values, for validating configuration.
extern const std::set<std::string> REFRESH_IMAGE_VALUES;   // always, on-start, no
extern const std::set<std::string> PREFETCH_IMAGE_VALUES;  // on-start, on-config-change, no

// A policy value as an alias or the settings give it: a false-like value is
// `no`; other values are matched by their lower-cased text form.
PullPolicy pull_policy(const Value& v);

// The alias's own setting wins (also "no"); a missing or null one falls back
// to the global default; a false-like value is "no"; the text is lower-cased
// and not otherwise checked. Never fails for a map-like alias definition.
std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default);
std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default);

// The process-wide Docker client, created on first use; a failed creation
// (Engine unreachable) throws and is tried again on the next call.
std::shared_ptr<docker::Client> get_client();
// True when the Engine holds the image; false for image-not-found; any other
// failure propagates.
bool _image_exists_locally(const docker::Client& client, const std::string& image);

// Pulls the image before a run when the alias's refresh policy is "always".
// Never fails because of the pull; returns the seconds it took (0.0 when no
// pull was made). A pull that outlives `timeout` (a number; null: no limit)
// is logged as timed out.
double refresh_before_run(const docker::Client& client, const AliasDefinition& alias, const Value& refresh_default,
                          const Value& timeout);

// Pulls at start-up: prefetch ("on-start"/"on-config-change") and refresh of
// images already present ("on-start"), each image once. Returns the failure
// messages; does not log them. A null client means the shared one.
std::vector<std::string> startup_pull(const std::vector<Value>& aliases, const Value& refresh_default,
                                      const Value& prefetch_default,
                                      std::shared_ptr<docker::Client> client = nullptr);
// After an alias reload: prefetches "on-config-change" aliases that are new or
// changed. Logs every failure; returns those about an alias whose image changed.
std::vector<std::string> reload_pull(const Value& previous_aliases, const Value& new_aliases,
                                     const Value& prefetch_default, std::shared_ptr<docker::Client> client = nullptr);

}  // namespace portico::imagery
