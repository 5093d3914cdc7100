#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

// Runs one statement on the project file through a connection of its own.
int Exec(const std::wstring& db, const std::string& sql, std::string* firstColumn = nullptr) {
    sqlite3* handle = nullptr;
    if (sqlite3_open(ToNarrow(db).c_str(), &handle) != SQLITE_OK) return -1;
    int rows = 0;
    auto callback = [](void* user, int, char** values, char**) {
        auto* state = static_cast<std::pair<int*, std::string*>*>(user);
        if (state->second && *state->first == 0 && values[0]) *state->second = values[0];
        ++*state->first;
        return 0;
    };
    std::pair<int*, std::string*> state{&rows, firstColumn};
    const int rc = sqlite3_exec(handle, sql.c_str(), callback, &state, nullptr);
    sqlite3_close(handle);
    return rc == SQLITE_OK ? rows : -1;
}

TEST(PageOverspeed, IsStoredBesideTheSevenTablesAndReadBack) {
    test::TempDir tmp;
    ProjectDb db;
    EXPECT_FALSE(db.SetPageOverspeed(10000, 1, 1000));  // no project open
    EXPECT_FALSE(db.PageOverspeed(10000).has_value());

    db.SetWorkspacePath(tmp.wide());
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    // The project holds the seven tables and our three.
    EXPECT_EQ(Exec(db.DatabasePath(), "select name from sqlite_master where type = 'table'"), 10);
    std::string schema;
    Exec(db.DatabasePath(), "select sql from sqlite_master where name = 'bigImages'", &schema);
    EXPECT_EQ(schema, "CREATE TABLE `bigImages` (`id` integer, `data` blob, PRIMARY KEY(id))");

    struct Row {
        int32_t id, overspeedMm, pageMm;
    };
    for (const Row& row : {Row{10000, 0, 1000}, Row{20000, 345, 1000}, Row{23456, 120, 345}})
        EXPECT_TRUE(db.SetPageOverspeed(row.id, row.overspeedMm, row.pageMm)) << row.id;
    for (const Row& row : {Row{10000, 0, 1000}, Row{20000, 345, 1000}, Row{23456, 120, 345}}) {
        const auto stored = db.PageOverspeed(row.id);
        ASSERT_TRUE(stored.has_value()) << row.id;
        EXPECT_EQ(stored->first, row.overspeedMm);
        EXPECT_EQ(stored->second, row.pageMm);
    }
    EXPECT_FALSE(db.PageOverspeed(30000).has_value());  // a page without a record
    // A page stored again replaces its record.
    EXPECT_TRUE(db.SetPageOverspeed(20000, 500, 1000));
    EXPECT_EQ(db.PageOverspeed(20000)->first, 500);
}

TEST(PageOverspeed, AProjectWithoutTheTableReadsAsUnknown) {
    test::TempDir tmp;
    ProjectDb db;
    db.SetWorkspacePath(tmp.wide());
    ASSERT_TRUE(db.CreateProject(L"old", 0, 700, 0, 0));
    // A project written before the table existed.
    ASSERT_EQ(Exec(db.DatabasePath(), "drop table pageOverspeed"), 0);
    EXPECT_FALSE(db.PageOverspeed(10000).has_value());
    // Pages stored into it later bring the table along; the seven tables are untouched.
    EXPECT_TRUE(db.SetPageOverspeed(10000, 10, 1000));
    EXPECT_EQ(db.PageOverspeed(10000), std::make_pair(10, 1000));
    EXPECT_EQ(Exec(db.DatabasePath(), "select name from sqlite_master where type = 'table'"), 10);
}

}  // namespace
}  // namespace bhv
