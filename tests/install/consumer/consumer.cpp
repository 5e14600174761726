// Uses every public header and the handle classes of an installed libzqdds; needs no network
// configuration (an empty path keeps every default).
#include <zqdds/data_reader.h>
#include <zqdds/data_writer.h>
#include <zqdds/dds_types.h>
#include <zqdds/participant.h>
#include <zqdds/publisher.h>
#include <zqdds/subscriber.h>
#include <zqdds/topic.h>

#include <cstdio>
#include <string>

int main()
{
    CParticipant participant{std::string()};
    CTopic* topic = participant.createTopic("consumer_topic");
    CPublisher* publisher = participant.createPublisher();
    CSubscriber* subscriber = participant.createSubscriber();
    if (topic == nullptr || publisher == nullptr || subscriber == nullptr) {
        std::printf("consumer: creation failed\n");
        return 1;
    }
    // The topic handle crosses the library boundary as its base class too.
    const CTopicDesc* desc = topic;
    bool named = desc->getName() == "consumer_topic" && dynamic_cast<const CTopic*>(desc) == topic;
    _DdsInfo_t info{};
    int noInfo = participant.getDdsInfo("consumer_topic", DDS_INFO_PUB, info);

    int rc = participant.deleteSubscriber(subscriber) | participant.deletePublisher(publisher) |
             participant.deleteTopic(topic);
    std::printf("consumer: domain %d, topic named %s, info %d, deleted %d\n", participant.getDomainId(),
                named ? "yes" : "no", noInfo, rc);
    return named && noInfo == -1 && rc == 0 ? 0 : 1;
}
