// The two threads of indexing: every file's outcome reported once, in the
// order of the files, whether it is written, known or refused.
#include "index/ingest.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::MatchSpec;
using Kind = vt::index::Outcome::Kind;

struct Indexed {
    bool ok = false;
    std::string error;
    std::vector<std::pair<std::string, Kind>> outcomes;
};

Indexed indexAll(const std::string& db, const std::vector<std::string>& files) {
    vt::index::Options o;
    o.search = false;
    Indexed r;
    r.ok = vt::index::indexFiles(db, files, o, [&](const vt::index::Outcome& x) { r.outcomes.push_back({x.path, x.kind}); },
                                 r.error);
    return r;
}

TEST(IndexPipeline, KnownNewAndRefusedFilesAreReportedOnceInTheirOrder) {
    testsupport::TempDir dir;
    auto log = [&](int i) {
        MatchSpec m;
        m.user = i;
        m.match = i;
        m.ticks = 3;
        const std::string path = dir.join("m" + std::to_string(i) + ".vtl");
        testsupport::writeBytes(path, testsupport::sealedLog(testsupport::matchText(m)));
        return path;
    };
    std::vector<std::string> known;
    for (int i = 0; i < 150; ++i) known.push_back(log(i));  // more than one batch of known files
    const std::string db = dir.join("index.db");
    ASSERT_TRUE(indexAll(db, known).ok);

    const std::string text = dir.join("notes.vtl");
    testsupport::writeBytes(text, std::string(5000, 'x'));
    std::vector<std::string> files = known;
    files.insert(files.begin() + 70, log(1000));
    files.insert(files.begin() + 71, text);
    files.insert(files.begin() + 140, log(1001));  // and known files after the last new one
    const std::string fresh[] = {files[70], files[140]};
    const Indexed r = indexAll(db, files);
    EXPECT_TRUE(r.ok) << r.error;  // a file refused is no failure of the run
    ASSERT_EQ(r.outcomes.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(r.outcomes[i].first, files[i]) << i;
        const bool isNew = files[i] == fresh[0] || files[i] == fresh[1];
        const Kind want = isNew ? Kind::Indexed : files[i] == text ? Kind::NotIndexed : Kind::Already;
        EXPECT_EQ(r.outcomes[i].second, want) << i;
    }
}

}  // namespace
