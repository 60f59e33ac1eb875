#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bench/server/corpus.h"
#include "server/index/index.h"

namespace melodex::bench {

// An index that counts the CPU its lookups take on the calling thread (the store's own share of
// a query), forwarding every call to the index it wraps.
class TimedIndex final : public server::Index {
public:
    explicit TimedIndex(std::unique_ptr<server::Index> inner) : inner_(std::move(inner)) {}
    double lookupCpuSeconds() const { return lookupCpu_; }

    bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error, size_t maxPostings) override {
        const double start = threadCpuSeconds();
        const bool ok = inner_->lookup(hashes, sink, error, maxPostings);
        lookupCpu_ += threadCpuSeconds() - start;
        return ok;
    }
    bool addTrack(uint32_t track, const server::Fingerprint& print, std::string& error) override {
        return inner_->addTrack(track, print, error);
    }
    bool addTracks(const std::vector<server::TrackFingerprint>& tracks, std::string& error) override {
        return inner_->addTracks(tracks, error);
    }
    bool removeTrack(uint32_t track, std::string& error) override { return inner_->removeTrack(track, error); }
    bool hasTrack(uint32_t track, bool& present, std::string& error) override { return inner_->hasTrack(track, present, error); }
    bool signature(uint32_t track, std::vector<uint32_t>& out, std::string& error) override {
        return inner_->signature(track, out, error);
    }
    bool setRecordings(const std::vector<server::TrackRecording>& changes, std::string& error) override {
        return inner_->setRecordings(changes, error);
    }
    bool recordings(std::vector<server::TrackRecording>& out, std::string& error) override {
        return inner_->recordings(out, error);
    }
    bool stats(server::IndexStats& out, std::string& error) override { return inner_->stats(out, error); }
    bool compact(bool& done, std::string& error) override { return inner_->compact(done, error); }
    bool postingCount(uint64_t& out, std::string& error) override { return inner_->postingCount(out, error); }

private:
    std::unique_ptr<server::Index> inner_;
    double lookupCpu_ = 0;
};

}  // namespace melodex::bench
