// The input is read whole and closed before the output is opened, which is what
// lets a manifest be refreshed in place.
#include "refresh/refresh.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "refresh/section_file.hpp"

namespace {

RefreshResult write_output(const char* output_path, const Manifest& manifest,
                           const ExcludeList& excludes) {
  OutputFile output;
  int error = open_output(output_path, output);
  if (error == 0) {
    if (write_manifest(output.file, manifest, excludes)) {
      error = commit_output(output);
    } else {
      error = errno != 0 ? errno : EIO;
      discard_output(output);
    }
  }
  if (error == 0) return RefreshResult::ok;
  report("cannot write %s: %s", output_path, std::strerror(error));
  return RefreshResult::output_not_written;
}

}  // namespace

RefreshResult load_manifest(const char* input_path, std::unique_ptr<Manifest>& manifest) {
  OpenResult input = open_regular_file(input_path);
  if (input.file == nullptr) {
    report("cannot open %s: %s", input_path, open_error_text(input.error));
    return RefreshResult::input_not_opened;
  }
  manifest.reset(new (std::nothrow) Manifest{});
  if (manifest == nullptr) {
    std::fclose(input.file);
    report("%s: out of memory", input_path);
    return RefreshResult::out_of_memory;
  }
  const ReadResult read = read_manifest(input.file, *manifest);
  std::fclose(input.file);
  if (read.status == ReadStatus::read_error) {
    report("cannot read %s: %s", input_path, std::strerror(read.error));
    return RefreshResult::manifest_rejected;
  }
  if (read.status != ReadStatus::ok) {
    report("%s:%ld: %s", input_path, read.line, read_status_text(read.status));
    return RefreshResult::manifest_rejected;
  }
  return RefreshResult::ok;
}

RefreshResult refresh_manifest(const char* input_path, const char* output_path,
                               const ExcludeList& excludes) {
  std::unique_ptr<Manifest> manifest;
  if (const RefreshResult loaded = load_manifest(input_path, manifest);
      loaded != RefreshResult::ok) {
    return loaded;
  }
  refresh_digests(*manifest, input_path);
  return write_output(output_path, *manifest, excludes);
}
