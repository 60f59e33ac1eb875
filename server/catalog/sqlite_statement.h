#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server {

// One prepared statement, finalised on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql, std::string& error) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) error = sqlite3_errmsg(db);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void bind(int i, const std::string& s) { sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
    void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    void bindBlob(int i, const std::vector<uint8_t>& b) {
        if (b.empty()) sqlite3_bind_null(stmt_, i);
        else sqlite3_bind_blob(stmt_, i, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
    }
    // SQLITE_ROW, SQLITE_DONE or an error (message in `error`).
    int step(std::string& error) {
        const int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) error = sqlite3_errmsg(db_);
        return rc;
    }
    std::string text(int col) const {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace melodex::server
