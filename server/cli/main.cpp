// melodex-server: identifies phone recordings against your own music catalogue.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "server/cli/commands.h"
#include "server/monitor/clock_time.h"

using namespace melodex::server;

namespace {

// The service's limits, each with its default.
void addServeLimits(CLI::App& cmd, ServiceOptions& o) {
    const auto seconds = CLI::Range(1, 3600);
    cmd.add_option("--workers", o.workers, "identification threads (default: one per core)")->check(CLI::Range(1, 256));
    cmd.add_option("--queue-seconds", o.queueSeconds, "identification work waiting longer than this is refused with 503")
        ->capture_default_str()->check(CLI::Range(0.1, 600.0));
    cmd.add_option("--queue-length", o.queueLength, "identification requests waiting, at most")
        ->capture_default_str()->check(CLI::Range(1, 100000));
    cmd.add_option("--read-timeout", o.readTimeoutSeconds, "seconds a connection may stay silent")->capture_default_str()->check(seconds);
    cmd.add_option("--header-timeout", o.headerTimeoutSeconds, "seconds for a request's line and headers, in all")
        ->capture_default_str()->check(seconds);
    cmd.add_option("--body-timeout", o.bodyTimeoutSeconds, "seconds for a request's body, in all")->capture_default_str()->check(seconds);
    cmd.add_option("--write-timeout", o.writeTimeoutSeconds, "seconds for sending a reply")->capture_default_str()->check(seconds);
    cmd.add_option("--max-body", o.maxBodyBytes, "bytes in a request body")->capture_default_str()->check(CLI::Range(65536, 1 << 26));
    cmd.add_option("--max-request-line", o.maxRequestLine, "bytes in a request target (414 beyond)")
        ->capture_default_str()->check(CLI::Range(256, 1 << 20));
    cmd.add_option("--max-header-line", o.maxHeaderLine, "bytes in one header line (431 beyond)")
        ->capture_default_str()->check(CLI::Range(256, 1 << 20));
    cmd.add_option("--max-headers", o.maxHeaderCount, "header lines in a request (431 beyond)")->capture_default_str()->check(CLI::Range(8, 10000));
    cmd.add_option("--max-header-bytes", o.maxHeaderBytes, "bytes in a request's whole header (431 beyond)")
        ->capture_default_str()->check(CLI::Range(1024, 1 << 22));
    cmd.add_option("--max-connections", o.maxConnections, "open connections in all")->capture_default_str()->check(CLI::Range(1, 1000000));
    cmd.add_option("--max-per-address", o.maxPerAddress, "open connections from one client address (0: no limit)")
        ->capture_default_str()->check(CLI::Range(0, 1000000));
    cmd.add_option("--backlog", o.backlog, "connections waiting to be accepted")->capture_default_str()->check(CLI::Range(1, 65535));
    cmd.add_flag("--debug-headers", o.debugHeaders, "send X-Match (track id and score) with identification replies");
}

// The song pages the replies link to, and the history behind ID Picks.
void addPageOptions(CLI::App& cmd, ServiceOptions& o) {
    cmd.add_flag_callback("--no-ringtone", [&o] { o.pages.ringtone = false; }, "offer no ringtone downloads");
    cmd.add_flag_callback("--no-full-song", [&o] { o.pages.fullSong = false; }, "offer no Full Song pages");
    cmd.add_flag_callback("--no-wallpaper", [&o] { o.pages.wallpaper = false; }, "offer no wallpapers");
    cmd.add_flag_callback("--no-picks", [&o] { o.pages.picks = false; }, "offer no ID Picks pages");
    cmd.add_option("--history", o.pages.historySize, "identifications kept per phone for ID Picks (0: none)")
        ->capture_default_str()->check(CLI::Range(0, 1000000));
    cmd.add_option("--stream-threads", o.streamThreads, "threads for pages, streams and conversions, at low priority")
        ->capture_default_str()->check(CLI::Range(1, 64));
}

// The monitor's window, segments, output and live inputs.
void addMonitorOptions(CLI::App& cmd, MonitorCommand& m, std::string& from, std::string& to, std::string& format) {
    SegmenterOptions& s = m.options.segments;
    ReconnectOptions& r = m.options.input;
    cmd.add_option("inputs", m.inputs, "audio files, -, http(s):// streams, pulse:SOURCE or alsa:DEVICE")->required();
    cmd.add_option("--window", s.windowSeconds, "seconds of audio identified at a time")->capture_default_str()->check(CLI::Range(3.0, 60.0));
    cmd.add_option("--step", s.stepSeconds, "seconds from one window to the next")->capture_default_str()->check(CLI::Range(0.5, 60.0));
    cmd.add_option("--bridge", s.bridgeSeconds, "seconds a play goes on through windows that miss it (talk over it)")
        ->capture_default_str()->check(CLI::Range(0.0, 600.0));
    cmd.add_option("--min-windows", s.minWindows, "windows that must match a play before it is reported")
        ->capture_default_str()->check(CLI::Range(1, 100));
    cmd.add_flag("!--no-unknown", s.reportUnknown, "report nothing between plays (default: an unknown segment)");
    cmd.add_option("--format", format, "text, csv or json (one object a line)")->capture_default_str()
        ->check(CLI::IsMember({"text", "csv", "json"}));
    cmd.add_option("--from", from, "start here in a file or stream (SECONDS, M:SS or H:MM:SS)");
    cmd.add_option("--to", to, "stop here");
    cmd.add_option("--threads", m.options.threads, "threads for files (default: one per core)")->check(CLI::Range(1, 256));
    cmd.add_flag("!--no-progress", m.progress, "no progress bar on a terminal");
    cmd.add_option("--timeout", r.timeoutSeconds, "seconds a stream or device may stay silent, connecting or playing")
        ->capture_default_str()->check(CLI::Range(0.1, 3600.0));
    cmd.add_option("--retry-delay", r.firstDelay, "seconds before reconnecting a dropped stream, doubled each failure")
        ->capture_default_str()->check(CLI::Range(0.0, 3600.0));
    cmd.add_option("--max-retry-delay", r.maxDelay, "longest wait between reconnections")->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    cmd.add_option("--give-up", r.giveUpSeconds, "seconds a dropped stream may stay away before the monitor stops")
        ->capture_default_str()->check(CLI::Range(0.0, 1e6));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server: identifies 11-second phone recordings against your own music catalogue"};
    app.require_subcommand(1);
    // --db is accepted before or after the command name.
    app.fallthrough();
    StoreOptions stores;
    stores.db = defaultDatabaseDir();
    CLI::Option* db = app.add_option("--db", stores.db, "database folder")->capture_default_str();
    CLI::Option* redis = app.add_option("--redis", stores.redis, "Redis Cluster seed nodes, HOST:PORT[,HOST:PORT...], in place of --db");

    IndexCommand index;
    CLI::App* indexCmd = app.add_subcommand("index", "add audio files and folders (recursively) to the catalogue");
    indexCmd->add_option("paths", index.paths, "files and folders")->required();
    indexCmd->add_option("--threads", index.threads, "worker threads (default: one per core)");
    indexCmd->add_option("--art-size", index.artSize, "album art thumbnail fits this many pixels square")
        ->capture_default_str()->check(CLI::Range(16, 1024));

    ServeCommand serve;
    CLI::App* serveCmd = app.add_subcommand("serve", "answer identification requests over HTTP");
    serveCmd->add_option("--listen", serve.listen, "HOST:PORT")->capture_default_str();
    addServeLimits(*serveCmd, serve.service);
    addPageOptions(*serveCmd, serve.service);

    IdentifyCommand identify;
    CLI::App* identifyCmd = app.add_subcommand("identify", "identify audio files or saved request bodies");
    identifyCmd->add_option("files", identify.files, "files")->required();
    identifyCmd->add_flag("--json", identify.json, "one JSON object a line");

    app.add_subcommand("list", "list the catalogue");

    uint32_t removeId = 0;
    CLI::App* removeCmd = app.add_subcommand("remove", "remove a track");
    removeCmd->add_option("id", removeId, "track id")->required();

    SetCommand set;
    CLI::App* setCmd = app.add_subcommand("set", "set a track's store links and share text");
    setCmd->add_option("id", set.id, "track id")->required();
    std::string wallpaper, ringer, sms, recommend, fullSong;
    CLI::Option* options[] = {
        setCmd->add_option("--wallpaper", wallpaper, "wallpaper URL in place of the service's page (none: no link)"),
        setCmd->add_option("--ringer", ringer, "ring tone URL in place of the service's download (none: no link)"),
        setCmd->add_option("--sms", sms, "text for sharing by SMS"),
        setCmd->add_option("--recommend", recommend, "picks page URL in place of the service's (none: no link)"),
        setCmd->add_option("--full-song", fullSong, "full song URL in place of the service's page (none: no link)"),
    };

    app.add_subcommand("stats", "tracks, hours, hashes and index size");

    MonitorCommand monitor;
    std::string from, to, format = "text";
    CLI::App* monitorCmd = app.add_subcommand(
        "monitor", "what played when: a sliding window over files, standard input (-), http(s) streams or capture "
                   "devices (pulse:SOURCE, alsa:DEVICE), one line per segment");
    addMonitorOptions(*monitorCmd, monitor, from, to, format);

    ReindexCommand reindex;
    CLI::App* reindexCmd = app.add_subcommand(
        "reindex", "rebuild the index from the catalogue's files (after an upgrade), keeping every track's id and details");
    reindexCmd->add_option("--threads", reindex.threads, "worker threads (default: one per core)");

    CLI11_PARSE(app, argc, argv);
    if (db->count() > 0 && redis->count() > 0) {
        std::fprintf(stderr, "melodex-server: --db and --redis name two different stores: give one of them\n");
        return 2;
    }
    if (redis->count() > 0 && stores.redis.empty()) {
        std::fprintf(stderr, "melodex-server: --redis wants HOST:PORT[,HOST:PORT...]\n");
        return 2;
    }

    if (*indexCmd) return runIndex(stores, index);
    if (*serveCmd) return runServe(stores, serve);
    if (*identifyCmd) return runIdentify(stores, identify);
    if (app.got_subcommand("list")) return runList(stores);
    if (*removeCmd) return runRemove(stores, removeId);
    if (*setCmd) {
        const std::string* values[] = {&wallpaper, &ringer, &sms, &recommend, &fullSong};
        const char* names[] = {"wallpaper", "ringer", "sms", "recommend", "full-song"};
        for (size_t i = 0; i < 5; ++i)
            if (options[i]->count() > 0) set.values.emplace_back(names[i], *values[i]);
        return runSet(stores, set);
    }
    if (app.got_subcommand("stats")) return runStats(stores);
    if (*monitorCmd) {
        if ((!from.empty() && !parseClock(from, monitor.options.fromSeconds)) || (!to.empty() && !parseClock(to, monitor.options.toSeconds))) {
            std::fprintf(stderr, "melodex-server: --from and --to want SECONDS, M:SS or H:MM:SS\n");
            return 2;
        }
        monitor.format = format == "csv" ? SegmentFormat::Csv : format == "json" ? SegmentFormat::JsonLines : SegmentFormat::Text;
        return runMonitor(stores, monitor);
    }
    if (*reindexCmd) return runReindex(stores, reindex);
    return 2;
}
