// The Linux counterpart of creating the driver by ProgID: libqel_weigher.so is loaded at
// run time by name and its C functions are looked up, so the bench has no link-time tie.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_form.h"

namespace weightbench {

struct QelApi;

class QelLibraryFactory : public DriverFactory {
 public:
  // Stands for the modal message box the driver shows; returns when dismissed.
  using MessageSink =
      std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>;

  // `candidates` are tried in order with dlopen; the first that loads and has every
  // function wins.
  QelLibraryFactory(std::vector<std::string> candidates, MessageSink sink);
  ~QelLibraryFactory() override;
  QelLibraryFactory(const QelLibraryFactory&) = delete;
  QelLibraryFactory& operator=(const QelLibraryFactory&) = delete;

  std::unique_ptr<Driver> Create() override;

  // Why the last load failed (dlerror text), for diagnostics.
  const std::string& LoadError() const { return load_error_; }

 private:
  bool Load();
  static void OnDriverMessage(const char* text, const char* caption, int critical, void* context);

  std::vector<std::string> candidates_;
  MessageSink sink_;
  std::shared_ptr<const QelApi> api_;
  std::string load_error_;
};

inline constexpr const char* kLibraryFileName = "libqel_weigher.so";
inline constexpr const char* kLibraryOverrideVariable = "QEL_WEIGHER_LIBRARY";

// QEL_WEIGHER_LIBRARY alone when set; otherwise the library next to the executable, then
// the plain name for the loader's normal search path.
std::vector<std::string> LibraryCandidates(const std::string& executable_dir);

}  // namespace weightbench
