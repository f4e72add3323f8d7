#pragma once

#include <QByteArray>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

// Version-check answers already worked out from one catalog, so that a fleet
// asking the same question gets the same bytes without their being built
// again. Entries belong to the catalog generation they came from; the first
// use with a newer generation drops them all. The size is bounded in bytes:
// a full cache starts over, so odd queries from a hostile client cost
// recomputations, never memory. Safe to use from the server's worker threads.
class AnswerCache
{
public:
    struct Answer
    {
        std::string body;
        QByteArray logLine;
        bool updateOffered = false;
    };
    using AnswerPointer = std::shared_ptr<const Answer>;

    explicit AnswerCache(size_t maximumBytes);

    AnswerPointer find(unsigned long long generation, const std::string& key);
    void insert(unsigned long long generation, const std::string& key, AnswerPointer answer);

private:
    bool adopt(unsigned long long generation);

    const size_t m_maximumBytes;
    std::mutex m_mutex;
    unsigned long long m_generation = 0;
    size_t m_bytes = 0;
    std::unordered_map<std::string, AnswerPointer> m_answers;
};
