#pragma once

#include "tools/sited/history/historystore.h"
#include "tools/sited/zones/replayrules.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <functional>
#include <optional>

// A minute's pictures in one compact block, beside the objects' rows: what
// the zones' preview reads, so that a day of a busy site is 1440 blocks
// rather than 43 million rows. A block holds what the rules read of each
// object (id, x, y, speed, confirmed, class; the numbers bit for bit) and
// is written once its minute is over, in the transaction that writes the
// first picture of a later minute. A minute without a block (the first
// minute a store writes, one written into again later, a database older
// than the blocks) is read from its rows: the rows stay the history, a
// block only a faster way to read a minute of them.
//
// A block, version 1: the byte 1; then each picture, oldest first: its time
// after the minute's start (ms, a varint) and its objects' count (a
// varint); then each object by ascending id: the id less the one before it
// (the first: less 0), zigzag varint; x, y (m) and speed (km/h), each the
// 8 bytes of its double, little-endian; a byte of confirmed (bit 0) and the
// class (bits 1 to 4, ObjectClass).
namespace trklib::sited::history {

constexpr std::int64_t blockMs = 60 * 1000; // a block's minute
constexpr int minBlockPictures = 10;        // a second of pictures at 10 a second

// The start of the minute that holds timeMs (ms, also before 1970).
std::int64_t blockStart(std::int64_t timeMs);

// A block of pictures (time, objects), oldest first, of the minute that
// starts at startMs; each picture's objects are sorted by id here.
QByteArray makeBlock(std::int64_t startMs,
                     const QVector<std::pair<std::int64_t, QVector<zones::Sample>>>& pictures);

// Each picture of a block in time order, handed to each; false, having
// handed nothing, when the bytes are no block this version reads.
bool readBlock(const QByteArray& block, std::int64_t startMs, const Store::PictureSink& each);

// Store::pictures() of both back ends, as the store reads the blocks of
// [fromMs, toMs]'s minutes: the pictures from each block that reads, from
// the rows elsewhere (rows(from, to, each, error) reads those of a part).
// The store hands each block as it reads it, so that its bytes need not be
// copied out of the database's buffers.
using RowsReader = std::function<bool(std::int64_t fromMs, std::int64_t toMs,
                                      const Store::PictureSink& each, QString& error)>;
class PicturePlayer
{
public:
    PicturePlayer(std::int64_t fromMs, std::int64_t toMs, RowsReader rows,
                  const Store::PictureSink& each, QString& error);

    // The block of the minute that starts at startMs, the blocks by start,
    // ascending; bytes need only last the call. False when reading failed.
    bool block(std::int64_t startMs, const QByteArray& bytes);
    // The rows after the last block; false when reading failed.
    bool finish();

private:
    std::int64_t fromMs_, toMs_;
    RowsReader rows_;
    const Store::PictureSink& each_;
    Store::PictureSink within_; // each_ for the pictures of [fromMs, toMs]
    QString& error_;
    std::int64_t next_; // the first time not handed yet
};

// What a store writes of blocks with each batch, from the batches it
// writes in order. A block is made only of a minute of at least
// minBlockPictures pictures (fewer read as fast from their rows, and a
// block would only take room) seen from its start:
// not the minute of the store's first picture (an earlier sited may have
// written part of it), nor one a picture came to out of time order; a
// minute written into that makes no block loses the block it had.
class BlockWriter
{
public:
    // With signedZeros false, a block holds -0.0 as 0.0: SQLite stores a
    // REAL of an integer's value as that integer, so its rows read 0.0.
    explicit BlockWriter(bool signedZeros) : signedZeros_(signedZeros) {}

    struct Work
    {
        QVector<std::int64_t> stale;                       // starts whose blocks go, first
        QVector<std::pair<std::int64_t, QByteArray>> done; // start, bytes
    };

    // What writing batch means for the blocks: the blocks of the minutes it
    // ends, the stale ones to remove. A store that fails to write the batch
    // puts back the writer it had before: a copy costs a minute's picture
    // handles, not their objects.
    Work add(const Batch& batch);

private:
    void finish(Work& work);

    bool signedZeros_;
    std::optional<std::int64_t> startMs_; // the minute being gathered
    std::int64_t lastMs_ = 0;             // its latest picture
    bool whole_ = false;                  // seen from its start, in order
    QVector<std::pair<std::int64_t, QVector<zones::Sample>>> pictures_;
};

} // namespace trklib::sited::history
