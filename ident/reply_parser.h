// The identification service's reply: a lead-in (a run of non-zero bytes, a
// zero byte and three more bytes), then 8-bit text up to the first zero byte
// or the end of the reply, in which the song's details stand between markers
// such as <ARTIST>...</ARTIST>.
#pragma once

#include <memory>

#include "ident/song_record.h"

// Turns the `length` bytes at `reply` into a song record: tagNumber from the
// tag store's counter (advanced for every reply, even one that names no song),
// the nine text fields from their elements (empty when an element is
// missing), album art and created left unset. Returns null when the text
// holds none of the nine elements.
std::unique_ptr<SongRecord> parseReply(const char* reply, int length);
