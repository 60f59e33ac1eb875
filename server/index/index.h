#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/fingerprint/fingerprinter.h"

namespace melodex::server {

namespace redis {
class ClusterClient;
}

// Where a hash occurs in the catalogue.
struct Posting {
    uint32_t track = 0;
    uint32_t frame = 0;
};

// Tracks that hold the same recording (the same music, also when one file holds it inside a
// longer one) form a group named by its lowest track id. A track in no group stands for itself.
struct TrackRecording {
    uint32_t track = 0;
    uint32_t recording = 0;
};

// One track's fingerprint, for adding many tracks at once.
struct TrackFingerprint {
    uint32_t track = 0;
    Fingerprint print;
};

struct IndexStats {
    uint64_t tracks = 0;
    uint64_t postings = 0;
    uint64_t bytes = 0;      // storage in use
    uint64_t fileBytes = 0;  // storage taken, including space freed and awaiting reuse
};

// Largest track id and frame a posting can carry.
constexpr uint32_t kMaxTrackId = (1u << 24) - 1;
constexpr uint32_t kMaxFrame = (1u << 24) - 1;

// The layout of the hashes and signatures that this version writes. An index written by an
// earlier version (other hashes or signatures) cannot answer this one's queries: it must be
// rebuilt from the catalogue's files (`melodex-server reindex`).
constexpr int kIndexFormat = 9;
constexpr const char* kRebuildAdvice =
    "the index was written by an earlier version of melodex-server and must be rebuilt: run `melodex-server reindex`";

// The hash -> postings store behind the matcher, with each track's signature. Implementations
// must make addTrack atomic (a crash leaves the track fully present or absent) and let lookups
// run while a track is added.
class Index {
public:
    virtual ~Index() = default;

    virtual bool addTrack(uint32_t track, const Fingerprint& print, std::string& error) = 0;
    // Adds many tracks not yet in the index, each whole or not at all as with addTrack. A store
    // may take a large batch much faster than one track at a time.
    virtual bool addTracks(const std::vector<TrackFingerprint>& tracks, std::string& error) {
        for (const TrackFingerprint& t : tracks)
            if (!addTrack(t.track, t.print, error)) return false;
        return true;
    }
    virtual bool removeTrack(uint32_t track, std::string& error) = 0;
    virtual bool hasTrack(uint32_t track, bool& present, std::string& error) = 0;

    // Looks every hash up in one consistent snapshot; the sink gets the hash's position in
    // `hashes` and its postings (valid only during the call). A hash with more than
    // `maxPostings` postings (0: no limit) is skipped without reading it all: so common a hash
    // says little about which track is playing and costs the most to vote on.
    using Sink = std::function<void(size_t, const Posting*, size_t)>;
    virtual bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error,
                        size_t maxPostings = 0) = 0;
    // The track's whole signature; empty when the track is not in the index.
    virtual bool signature(uint32_t track, std::vector<uint32_t>& out, std::string& error) = 0;

    // Stores these tracks' groups in one transaction. Removing a track also takes it out of its
    // group, renames the group after its lowest remaining member and dissolves a group of one.
    virtual bool setRecordings(const std::vector<TrackRecording>& changes, std::string& error) = 0;
    // Every grouped track, ascending by track id.
    virtual bool recordings(std::vector<TrackRecording>& out, std::string& error) = 0;

    virtual bool stats(IndexStats& out, std::string& error) = 0;
    // Rewrites the store densely (after many tracks were added one by one, its pages are about
    // half full; the embedded store also moves every posting into its postings file), unless it
    // is dense already. Done only while no other process has the index open; `done` says whether
    // the store is dense now.
    virtual bool compact(bool& done, std::string& error) = 0;
    // Just the number of postings: cheap enough to ask for every query.
    virtual bool postingCount(uint64_t& out, std::string& error) = 0;
};

// The embedded default: LMDB in `dir` (created when missing). An index of an earlier format is
// refused with kRebuildAdvice.
std::unique_ptr<Index> openLmdbIndex(const std::string& dir, std::string& error);
// Whether `dir` holds an index of an earlier format.
bool isEarlierLmdbIndex(const std::string& dir);
// The distributed store: the index in a Redis Cluster, shared by every process that opens it.
// An index of an earlier format is refused with kRebuildAdvice, unless `rebuild`: then it is
// stamped with this format, for its tracks to be removed and added again (postings kept in an
// earlier layout's keys are no longer read, and are left for the operator to delete).
std::unique_ptr<Index> openRedisIndex(std::shared_ptr<redis::ClusterClient> client, std::string& error, bool rebuild = false);

}  // namespace melodex::server
