// `vtl verify FILE...`: whether each file is whole.
#include "verbs.h"

#include "common/printable.h"
#include "read/logfile.h"

#include <algorithm>
#include <ostream>

namespace vtl {

int verify(const std::vector<std::string>& files, std::ostream& out) {
    int status = kWhole;
    vt::read::Options quick;
    quick.search = false;
    for (const auto& f : files) {
        status = std::max(status, guarded(f, out, [&] {
            const vt::read::LogFile log(f, quick);
            const std::string name = vt::printable(f);  // a name with a line feed keeps to its line
            if (log.whole()) out << name << ": whole\n";
            else if (!log.regular()) out << name << ": not a log file (" << log.reason() << ")\n";
            else out << name << ": not whole: " << log.reason() << "\n";
            return log.whole() ? kWhole : kNotWhole;
        }));
        if (!out.flush()) return kUsage;
    }
    return status;
}

Verb addVerify(CLI::App& app) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto* c = app.add_subcommand("verify", "tell for each file whether it is whole");
    c->add_option("files", *files, "log files")->required();
    return {c, [files] { return verify(*files, std::cout); }};
}

}  // namespace vtl
