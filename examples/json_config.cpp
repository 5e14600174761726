// A participant configured from a JSON file (config/zqdds.json by default, or the path given),
// one message through a writer and a reader, and the status getDdsInfo reports for each side.
#include <zqdds/data_reader.h>
#include <zqdds/data_writer.h>
#include <zqdds/participant.h>
#include <zqdds/publisher.h>
#include <zqdds/subscriber.h>
#include <zqdds/topic.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// The status of one side of a topic; a fresh record each time, since the channel list is appended to.
void printInfo(CParticipant& participant, const std::string& topic, int kind)
{
    _DdsInfo_t info{};
    if (participant.getDdsInfo(topic, kind, info) != 0) {
        return;
    }
    if (kind == DDS_INFO_PUB) {
        std::printf("json_config: writing side: control port %d, %d reader(s), channels:", info.m_iMsgChnPort,
                    info.m_iClientCount);
    } else {
        std::printf("json_config: reading side: control port %d, state %d (1 subscribed), %lld lost, channels:",
                    info.m_iMsgChnPort, info.m_iTopicState, static_cast<long long>(info.m_i64LostPkgCount));
    }
    for (const _DataTransChnInfo_t& chn : info.m_vecDataChnInfo) {
        std::printf(" type %d at %d", chn.m_iTransType, chn.m_iPort); // port, socket index or queue key
    }
    for (int fps : info.m_vecFps) {
        std::printf(", %d frames/s", fps);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::string path = argc > 1 ? argv[1] : "config/zqdds.json";
    CParticipant participant(path);
    std::printf("json_config: %s gives domain %d on %s\n", path.c_str(), participant.getDomainId(),
                participant.getDevIp().c_str());

    const std::string name = "example_json_config";
    CTopic* topic = participant.createTopic(name);
    CPublisher* publisher = participant.createPublisher();
    CSubscriber* subscriber = participant.createSubscriber();
    CDataWriter* writer = topic && publisher ? publisher->createDataWriter(topic) : nullptr;
    CDataReader* reader = topic && subscriber ? subscriber->createDataReader(topic) : nullptr;
    if (!writer || !reader) {
        std::printf("json_config: no writer or reader (is %s readable?)\n", path.c_str());
        return 1;
    }

    // Discovery answers the reader's first announcement at once; the channel follows.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(writer->isConnect() && reader->isConnect()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    char text[] = "hello from a JSON-configured participant";
    writer->write(text, sizeof(text));
    char buf[256];
    int len = reader->read(buf, sizeof(buf), 2000);
    if (len > 0) {
        std::printf("json_config: read %d bytes \"%s\"\n", len, buf);
    }
    printInfo(participant, name, DDS_INFO_PUB);
    printInfo(participant, name, DDS_INFO_SUB);

    subscriber->deleteDataReader(reader);
    publisher->deleteDataWriter(writer);
    participant.deleteSubscriber(subscriber);
    participant.deletePublisher(publisher);
    participant.deleteTopic(topic);
    return len == static_cast<int>(sizeof(text)) ? 0 : 1;
}
