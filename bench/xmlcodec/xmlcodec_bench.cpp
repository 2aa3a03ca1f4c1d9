// A typical "CameraGroup" request (a tour run request as a client unit sends
// it): decoding it the way the tour server does (create a codec, decode,
// destroy the codec, delete the message) and encoding the reply, against the
// floor: a bare Expat parse of the same text with empty handlers, parser
// creation and release included, measured in the same run.
// Targets: decode within 2x of the floor; encode at least as fast as decode.
//
//   xmlcodec_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <expat.h>

#include <memory>
#include <string>

#include "cameramessage.h"
#include "ixmlcodec.h"
#include "sysdefs.h"

namespace {

std::string RequestText() {
    CameraMessage m("SET", 42, 1, 0, 10000005, 0, 0);
    m.AddElement(new CameraVariableGroup(10000001, MON_TOUR_TYP_GRP, 0x0201, 12, 5,
                                         MON_TOUR_ACT_RUN, 0, 0));
    std::string text;
    m.SerializeElement(text, 0);
    return text;
}

void XMLCALL NoStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL NoEnd(void*, const XML_Char*) {}
void XMLCALL NoText(void*, const XML_Char*, int) {}

void BM_ExpatFloor(benchmark::State& state) {
    const std::string text = RequestText();
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetElementHandler(parser, NoStart, NoEnd);
        XML_SetCharacterDataHandler(parser, NoText);
        XML_Status status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
        benchmark::DoNotOptimize(status);
        XML_ParserFree(parser);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ExpatFloor);

void BM_Decode(benchmark::State& state) {
    std::string text = RequestText();
    CameraElementFactory factory;
    for (auto _ : state) {
        IXMLCodec* codec = nullptr;
        CreateXMLCodec(&codec);
        Message* message = nullptr;
        codec->Decode(&text, &factory, &message);
        DestroyXMLCodec(&codec);
        benchmark::DoNotOptimize(message);
        delete message;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Decode);

void BM_Encode(benchmark::State& state) {
    std::string text = RequestText();
    CameraElementFactory factory;
    IXMLCodec* codec = nullptr;
    CreateXMLCodec(&codec);
    Message* decoded = nullptr;
    codec->Decode(&text, &factory, &decoded);
    std::unique_ptr<Message> message(decoded);
    message->SetActionType("SET_RESPONSE");
    for (auto _ : state) {
        std::string out;
        codec->Encode(out, message.get());
        benchmark::DoNotOptimize(out.data());
    }
    DestroyXMLCodec(&codec);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Encode);

}  // namespace

BENCHMARK_MAIN();
