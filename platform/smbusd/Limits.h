// What one client and one request may cost the service. A request is refused with an
// error answer when its answer could not be sent in one frame or it asks for too much
// work; a connection is closed when it holds a frame back, or would take more memory
// than the service keeps for all clients together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZoltaUtil/Smbus.pb.h"

namespace Smbusd {

// The largest frame either side sends (the length prefix not counted).
constexpr size_t kMaxFrameBytes = size_t(1) << 20;
// Requests in one batch. The library's largest batches hold a few hundred.
constexpr int kMaxRequestEntries = 16384;
// Bytes one read may ask for.
constexpr uint32_t kMaxReadLength = 65536;
// Room kept in an answer frame for the error text and the message's own fields.
constexpr size_t kAnswerReserve = 4096;

// Connections (service and control together) open at one time; fewer when the
// descriptor limit is lower.
constexpr size_t kMaxClients = 256;
// A frame (or control line) started but not finished, or an answer the client does
// not take, for this long closes the connection. An idle client is never closed.
constexpr int kDefaultStallMs = 5000;
// Bytes queued for one client's answers before the service stops running its requests.
constexpr size_t kMaxClientOutput = kMaxFrameBytes;
// Bytes buffered for all clients together (frames being received, answers not yet
// taken); a frame that would pass it closes its connection.
constexpr size_t kMaxBufferedBytes = size_t(64) << 20;
// Buffers that grew past this are given back once empty.
constexpr size_t kKeptBufferBytes = size_t(64) << 10;

// The most bytes the answer to `request` can take on the wire, whatever the chips answer.
size_t answerBound(const Smbus::TransactionRequest& request);

// false with *err (naming the limit) when the request has too many entries or its
// answer could pass kMaxFrameBytes.
bool checkRequest(const Smbus::TransactionRequest& request, std::string* err);

}  // namespace Smbusd
