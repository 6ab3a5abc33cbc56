// A build without libpq: the lake export only.
#include "export/export.h"

namespace vt {
namespace exporter {

bool havePostgres() { return false; }

Status toPostgres(const std::string&, const std::string&, const Options&, Summary& summary, std::string& error) {
    summary = Summary();
    error = "this vtl was built without PostgreSQL support";
    return Status::TargetFailed;
}

}  // namespace exporter
}  // namespace vt
