// The SMBus service's control language: the input is what a control client sends, one
// command per line, run on a copy of a board loaded once (each input starts from the same
// state). Every line is done or refused.
// The board is OrvikS with its transceiver mux cut to its first channels: every chip model,
// the mux and every kind of binding stay, and copying the board per input costs a fifth.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <set>

#include "Board.h"
#include "Control.h"
#include "FuzzHost.h"

namespace {

constexpr rapidjson::SizeType kMuxChannelsKept = 2;
// Longest script tried. Every command and its refusals fit in a few short lines; longer
// scripts only repeat commands (a `list` costs as much as copying the board), and let the
// run's speed fall from thousands of inputs a second to hundreds as the corpus grows.
constexpr size_t kMaxScript = 256;

std::string serialise(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return buffer.GetString();
}

// Every "label" under `value`.
void collectLabels(const rapidjson::Value& value, std::set<std::string>* labels) {
    if (value.IsObject()) {
        for (const auto& m : value.GetObject()) {
            if (m.name == "label" && m.value.IsString()) labels->insert(m.value.GetString());
            collectLabels(m.value, labels);
        }
    } else if (value.IsArray()) {
        for (const auto& v : value.GetArray()) collectLabels(v, labels);
    }
}

// Drops the channels of every mux after the first kMuxChannelsKept; *dropped gets the
// labels of the devices they held.
void cutMuxes(rapidjson::Value& value, std::set<std::string>* dropped) {
    if (value.IsObject()) {
        for (auto& m : value.GetObject()) {
            if (m.name == "muxes" && m.value.IsArray()) {
                for (auto& mux : m.value.GetArray()) {
                    if (!mux.IsObject() || !mux.HasMember("busses") || !mux["busses"].IsArray()) continue;
                    auto& busses = mux["busses"];
                    while (busses.Size() > kMuxChannelsKept) {
                        collectLabels(busses[busses.Size() - 1], dropped);
                        busses.PopBack();
                    }
                }
            }
            cutMuxes(m.value, dropped);
        }
    } else if (value.IsArray()) {
        for (auto& v : value.GetArray()) cutMuxes(v, dropped);
    }
}

const Smbusd::Board& loadedBoard() {
    static const Smbusd::Board board = [] {
        rapidjson::Document topology, state;
        topology.Parse(Fuzz::readFile(ZL_BOARD_TOPOLOGY).c_str());
        state.Parse(Fuzz::readFile(ZL_BOARD_STATE).c_str());
        if (topology.HasParseError() || state.HasParseError() || !state.IsObject()) std::abort();
        std::set<std::string> dropped;
        cutMuxes(topology, &dropped);
        for (const auto& label : dropped) state.RemoveMember(label.c_str());
        Smbusd::Board loaded;
        std::string err;
        if (!loaded.load(serialise(topology), serialise(state), &err)) std::abort();
        return loaded;
    }();
    return board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxScript) return -1;  // not kept in the corpus
    Smbusd::Board board(loadedBoard());
    std::string err;
    const std::string text = Fuzz::text(data, size);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::vector<std::string> words;
        std::string out;
        err.clear();
        if (Smbusd::splitWords(text.substr(start, nl - start), &words) && !words.empty())
            board.control(words, &out, &err);
        start = nl + 1;
    }
    return 0;
}
