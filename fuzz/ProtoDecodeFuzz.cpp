// The socket's direct decoders of the usual requests and answers must give exactly what the
// general protocol-buffer parser gives, for any bytes: the same verdict and, when both
// accept, the same message.
#include <cstdlib>

#include "Kavrin/ZLSocket.h"

namespace {

template <typename Message, typename Direct>
void compare(const uint8_t* data, size_t size, Direct direct) {
    Message fast;
    Message general;
    const char* bytes = reinterpret_cast<const char*>(data);
    const bool fastOk = direct(bytes, size, &fast);
    const bool generalOk = general.ParseFromArray(bytes, int(size));
    if (fastOk != generalOk) std::abort();
    if (fastOk && fast.SerializeAsString() != general.SerializeAsString()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    compare<Smbus::TransactionRequest>(data, size, Kavrin::parseRequest);
    compare<Smbus::TransactionResponse>(data, size, Kavrin::parseResponse);
    return 0;
}
