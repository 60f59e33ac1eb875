#include "server/ingest/track_batch.h"

#include <algorithm>

#include "server/ingest/recording_groups.h"

namespace melodex::server {
namespace {

// Takes a track that failed out again; should that fail too, it stays pending for the next run.
void drop(Catalog& catalog, Index& index, NewTrack& track, std::string error) {
    track.error = std::move(error);
    if (track.id == 0) return;
    std::string ignored;
    removeStoredTrack(catalog, index, track.id, ignored);
    track.id = 0;
}

// The pending tracks' postings in one batch. When the batch fails, the tracks are tried one at
// a time, so that one track the index refuses does not take the others with it.
void addToIndex(Catalog& catalog, Index& index, const std::vector<NewTrack*>& pending) {
    std::vector<TrackFingerprint> prints;
    for (NewTrack* t : pending) prints.push_back({t->id, std::move(t->print)});
    std::string error;
    const bool stored = index.addTracks(prints, error);
    for (size_t i = 0; i < pending.size(); ++i) pending[i]->print = std::move(prints[i].print);
    if (stored) return;
    // The ids are new, so a track the index holds is one this batch stored (a store may keep some
    // tracks of a batch that failed).
    for (NewTrack* t : pending) {
        bool present = false;
        if (!index.hasTrack(t->id, present, error) || (!present && !index.addTrack(t->id, t->print, error)))
            drop(catalog, index, *t, error);
    }
}

}  // namespace

void storeTracks(Catalog& catalog, Index& index, std::vector<NewTrack>& batch) {
    std::vector<NewTrack*> pending;
    for (NewTrack& t : batch) {
        t.id = 0;
        t.error.clear();
        if ((t.replaces == 0 || removeStoredTrack(catalog, index, t.replaces, t.error)) &&
            catalog.beginTrack(t.record, t.art, t.id, t.error))
            pending.push_back(&t);
        else
            drop(catalog, index, t, t.error);
    }
    if (pending.empty()) return;
    addToIndex(catalog, index, pending);
    for (NewTrack* t : pending) {
        if (t->id == 0) continue;
        std::string error;
        if (!joinCopies(index, t->id, t->print.landmarks, error) ||
            !catalog.markReady(t->id, static_cast<int64_t>(t->print.landmarks.size()), error))
            drop(catalog, index, *t, error);
    }
}

bool removeStoredTrack(Catalog& catalog, Index& index, uint32_t id, std::string& error) {
    return index.removeTrack(id, error) && catalog.remove(id, error);
}

}  // namespace melodex::server
