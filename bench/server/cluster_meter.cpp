#include "bench/server/cluster_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace melodex::bench {
namespace {

double infoValue(const std::string& info, const std::string& name) {
    const size_t at = info.find("\n" + name + ":");
    return at == std::string::npos ? 0 : std::atof(info.c_str() + at + name.size() + 2);
}

}  // namespace

bool readMasterWork(server::redis::ClusterClient& client, std::vector<MasterWork>& out, std::string& error) {
    std::vector<server::redis::Reply> cpu, stats;
    if (!client.runOnEveryMaster({"INFO", "cpu"}, cpu, error) || !client.runOnEveryMaster({"INFO", "stats"}, stats, error))
        return false;
    const std::vector<server::redis::Node> masters = client.masters();
    out.clear();
    for (size_t m = 0; m < cpu.size() && m < stats.size() && m < masters.size(); ++m)
        out.push_back({server::redis::formatNode(masters[m]),
                       infoValue(cpu[m].string, "used_cpu_user") + infoValue(cpu[m].string, "used_cpu_sys"),
                       infoValue(stats[m].string, "total_commands_processed")});
    return true;
}

std::vector<MasterWork> workBetween(const std::vector<MasterWork>& before, const std::vector<MasterWork>& after) {
    std::vector<MasterWork> out;
    for (const MasterWork& a : after) {
        const auto b = std::find_if(before.begin(), before.end(), [&](const MasterWork& w) { return w.node == a.node; });
        out.push_back(b == before.end() ? a : MasterWork{a.node, a.cpuSeconds - b->cpuSeconds, a.commands - b->commands});
    }
    return out;
}

std::string describeShares(const std::vector<MasterWork>& work, double& largestDeviation) {
    double total = 0;
    for (const MasterWork& w : work) total += w.cpuSeconds;
    std::string out;
    largestDeviation = 0;
    const double even = 1.0 / static_cast<double>(std::max<size_t>(1, work.size()));
    for (const MasterWork& w : work) {
        const double share = total > 0 ? w.cpuSeconds / total : 0;
        largestDeviation = std::max(largestDeviation, std::abs(share - even) / even * 100);
        char text[32];
        std::snprintf(text, sizeof text, "%s%.1f %%", out.empty() ? "" : ", ", share * 100);
        out += text;
    }
    return out;
}

}  // namespace melodex::bench
