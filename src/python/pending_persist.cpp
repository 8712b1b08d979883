// Temporary weak fallbacks until the persistence engine lands; the real
// definitions override them. Remove this file when src/persist/ is complete.
#include "common/internal_failure.hpp"
#include "persist/documents.hpp"
#include "persist/file_io.hpp"

namespace arbolet::persist {
[[gnu::weak]] std::string forest_to_json(const rcf::Forest&) { fail("persistence not built yet"); }
[[gnu::weak]] Result<rcf::Forest> forest_from_json(std::string_view) { fail("persistence not built yet"); }
[[gnu::weak]] std::string mstream_to_json(const mstream::MStream&) { fail("persistence not built yet"); }
[[gnu::weak]] Result<mstream::MStream> mstream_from_json(std::string_view) { fail("persistence not built yet"); }
[[gnu::weak]] Status write_file(const std::string&, std::string_view) { fail("persistence not built yet"); }
[[gnu::weak]] Result<std::string> read_file(const std::string&) { fail("persistence not built yet"); }
}  // namespace arbolet::persist
