#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bhv::test {

// One statement's rows as text (blobs byte for byte), through the test's own connection to a
// database file. A statement that fails is a test failure.
inline std::vector<std::vector<std::string>> Query(const std::filesystem::path& db,
                                                   const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* h = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK) {
        sqlite3_close(h);
        ADD_FAILURE() << "cannot open " << db;
        return rows;
    }
    sqlite3_busy_timeout(h, 5000);  // the program may be writing
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const auto* t = static_cast<const char*>(sqlite3_column_blob(st, i));
                row.emplace_back(t ? t : "", t ? sqlite3_column_bytes(st, i) : 0);
            }
            rows.push_back(row);
        }
        if (rc != SQLITE_DONE) ADD_FAILURE() << sqlite3_errmsg(h) << " in " << sql;
    } else {
        ADD_FAILURE() << sqlite3_errmsg(h) << " in " << sql;
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

// A second connection that holds a database under an exclusive lock while it lives, so that the
// program's own writes fail.
class LockedDatabase {
public:
    explicit LockedDatabase(const std::filesystem::path& db) {
        EXPECT_EQ(sqlite3_open(db.c_str(), &h_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(h_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~LockedDatabase() {
        sqlite3_exec(h_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(h_);
    }
    LockedDatabase(const LockedDatabase&) = delete;
    LockedDatabase& operator=(const LockedDatabase&) = delete;

private:
    sqlite3* h_ = nullptr;
};

}  // namespace bhv::test
