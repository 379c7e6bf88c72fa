#pragma once
// The channel's packet pool as plain data: a fixed set of report buffers, each either on the free
// list (for the read thread to fill, head first) or on the received queue (oldest first). Buffers
// are allocated once by Fill; moving a buffer between the lists only relinks it, so the read path
// never allocates. Not synchronised: the channel guards it with its pool mutex.

#include <cstddef>
#include <memory>

class CPacketPool {
public:
    struct SBuffer {
        SBuffer* prev = nullptr;
        SBuffer* next = nullptr;
        unsigned char* data = nullptr;
    };

    CPacketPool() = default;
    CPacketPool(const CPacketPool&) = delete;
    CPacketPool& operator=(const CPacketPool&) = delete;

    // Allocates count buffers of bufferSize bytes, all on the free list. Called once.
    void Fill(std::size_t count, std::size_t bufferSize);
    std::size_t GetBufferSize() const { return m_BufferSize; }
    std::size_t GetBufferCount() const { return m_BufferCount; }

    // The buffer the read thread fills next, or null when every buffer is queued.
    SBuffer* FreeHead() const { return m_Free.head; }
    // Moves the free list's head (the buffer just filled) to the end of the received queue and
    // returns the queue's new length.
    std::size_t QueueFreeHead();
    std::size_t GetQueuedCount() const { return m_Queue.count; }
    std::size_t GetFreeCount() const { return m_Free.count; }
    // The oldest queued buffer, or null.
    SBuffer* OldestQueued() const { return m_Queue.head; }
    // Moves the oldest queued buffer to the end of the free list.
    void FreeOldestQueued();
    // Moves every queued buffer to the end of the free list; returns how many there were.
    std::size_t FreeAllQueued();

    // Threshold at which the read thread signals that replies are ready.
    std::size_t GetSignalThreshold() const { return m_SignalThreshold; }
    void SetSignalThreshold(std::size_t threshold) { m_SignalThreshold = threshold; }

private:
    struct SList {
        SBuffer* head = nullptr;
        SBuffer* tail = nullptr;
        std::size_t count = 0;
        void PushBack(SBuffer* buffer);
        SBuffer* PopFront();
    };

    std::unique_ptr<SBuffer[]> m_Buffers;
    std::unique_ptr<unsigned char[]> m_Storage;
    std::size_t m_BufferCount = 0;
    std::size_t m_BufferSize = 0;
    std::size_t m_SignalThreshold = 0;
    SList m_Free;
    SList m_Queue;
};
