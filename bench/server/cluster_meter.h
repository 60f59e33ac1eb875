#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/redis/cluster_client.h"

namespace melodex::bench {

// The work of a Redis Cluster's masters, from their own accounts (INFO): CPU seconds (user and
// system) and commands processed by each master.
struct MasterWork {
    std::string node;
    double cpuSeconds = 0;
    double commands = 0;
};

bool readMasterWork(server::redis::ClusterClient& client, std::vector<MasterWork>& out, std::string& error);
// What each master did between two readings of the same masters.
std::vector<MasterWork> workBetween(const std::vector<MasterWork>& before, const std::vector<MasterWork>& after);
// Each master's share of the CPU, "a % b % c %", and how far the largest share lies from an even
// split, in percent of it.
std::string describeShares(const std::vector<MasterWork>& work, double& largestDeviation);

}  // namespace melodex::bench
