#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/cli/stores.h"
#include "server/http/service.h"
#include "server/monitor/monitor.h"
#include "server/monitor/segment_writer.h"

namespace melodex::server {

struct IndexCommand {
    std::vector<std::string> paths;
    int threads = 0;
    int artSize = 110;
};

struct ServeCommand {
    std::string listen = "127.0.0.1:8017";
    ServiceOptions service;  // the limits and the song pages; host and port come from `listen`
};

struct IdentifyCommand {
    std::vector<std::string> files;
    bool json = false;
};

struct MonitorCommand {
    std::vector<std::string> inputs;
    MonitorOptions options;
    SegmentFormat format = SegmentFormat::Text;
    bool progress = true;
};

struct ReindexCommand {
    int threads = 0;
};

struct SetCommand {
    uint32_t id = 0;
    std::vector<std::pair<std::string, std::string>> values;  // option name, value
};

// Each returns the process exit status; messages go to stdout (results) and stderr (problems).
int runIndex(const StoreOptions& storage, const IndexCommand& cmd);
int runServe(const StoreOptions& storage, const ServeCommand& cmd);
int runIdentify(const StoreOptions& storage, const IdentifyCommand& cmd);
int runList(const StoreOptions& storage);
int runRemove(const StoreOptions& storage, uint32_t id);
int runSet(const StoreOptions& storage, const SetCommand& cmd);
int runStats(const StoreOptions& storage);
int runMonitor(const StoreOptions& storage, const MonitorCommand& cmd);
int runReindex(const StoreOptions& storage, const ReindexCommand& cmd);

std::string defaultDatabaseDir();

}  // namespace melodex::server
