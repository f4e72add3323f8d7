#include "cloudservice/AnswerCache.h"

AnswerCache::AnswerCache(size_t maximumBytes) : m_maximumBytes(maximumBytes) {}

AnswerCache::AnswerPointer AnswerCache::find(unsigned long long generation, const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!adopt(generation))
        return nullptr;
    const auto found = m_answers.find(key);
    return found == m_answers.end() ? nullptr : found->second;
}

void AnswerCache::insert(unsigned long long generation, const std::string& key,
                         AnswerPointer answer)
{
    const size_t bytes = key.size() + answer->body.size() + size_t(answer->logLine.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    // An answer from a catalog already replaced is not worth keeping.
    if (!adopt(generation) || bytes > m_maximumBytes)
        return;
    if (m_bytes + bytes > m_maximumBytes) {
        m_answers.clear();
        m_bytes = 0;
    }
    if (m_answers.emplace(key, std::move(answer)).second)
        m_bytes += bytes;
}

bool AnswerCache::adopt(unsigned long long generation)
{
    if (generation < m_generation)
        return false;
    if (generation > m_generation) {
        m_answers.clear();
        m_bytes = 0;
        m_generation = generation;
    }
    return true;
}
