// Input files of process aliases, generated from the request's parameters.

#include <stdexcept>
#include <string>

#include "common/fd.h"
#include "common/text.h"
#include "executor/files.h"
#include "interfaces/template_renderer.h"

namespace portico {

void _create_process_file(const TemplateRenderer& renderer, const InputFile& file_def, const Value& params,
                          const std::optional<std::string>& run_dir_opt) {
  if (!run_dir_opt || run_dir_opt->empty()) throw std::runtime_error("input files need a run directory");
  const std::string& run_dir = *run_dir_opt;
  const std::string& location_template = file_def.location;
  const std::string location = renderer.render(location_template, params);
  const std::string abs_path = _run_dir_path(run_dir, location_template, location, "Input file location");

  const size_t slash = abs_path.rfind('/');
  if (slash != std::string::npos) _make_dirs(slash == 0 ? "/" : abs_path.substr(0, slash));

  const std::string content = renderer.render(file_def.content, params, run_dir);
  write_file(abs_path, content, 0666);
}

}  // namespace portico
