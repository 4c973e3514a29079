// Shared by the sound-reader fuzz targets: run a reader over the input and pull every sample
// through its decoder, checking that it never yields more than it announced.
#pragma once

#include "formats/sound_reader.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

inline void FuzzReader(const uint8_t* data, size_t size) {
    sound::OpenedSound opened =
        sound::OpenSoundReader(std::make_unique<sound::MemoryInputStream>(data, size));
    // A reader comes exactly with success; a failure the reader wrote is its last note.
    if (bool(opened.reader) != opened.result.Ok()) std::abort();
    if (!opened.result && !opened.notes.empty() && !opened.result.Message().empty() &&
        opened.result.Message().back() == '\n' && opened.notes.back() != opened.result.Message())
        std::abort();
    std::unique_ptr<sound::SoundReader> reader = std::move(opened.reader);
    if (!reader) return;
    const unsigned ch = reader->Channels();
    if (ch != 1 && ch != 2) std::abort();
    if (reader->Rate() == 0) std::abort();
    const uint64_t announced = reader->DecodedBytes();
    std::vector<uint8_t> buf(4096);
    uint64_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        total = 0;
        for (size_t got; (got = reader->ReadDecoded(buf.data(), buf.size())) > 0;) {
            total += got;
            if (total > announced) std::abort();
        }
        if (!reader->Rewind()) break;
    }
    if (reader->CanSeek() && announced >= 2) reader->SeekDecoded(announced / 2 & ~uint64_t(1));
    // A failed decoder says why, as its status and as its last note.
    formats::Notes notes;
    reader->TakeNotes(notes);
    if (reader->Failed() != !reader->Status().Ok()) std::abort();
    if (reader->Failed() && (notes.empty() || notes.back() != reader->Status().Message()))
        std::abort();
}
