#include "wirelet/device/packet_pool.h"

void CPacketPool::SList::PushBack(SBuffer* buffer) {
    buffer->next = nullptr;
    buffer->prev = tail;
    if (tail != nullptr) {
        tail->next = buffer;
    } else {
        head = buffer;
    }
    tail = buffer;
    ++count;
}

CPacketPool::SBuffer* CPacketPool::SList::PopFront() {
    SBuffer* buffer = head;
    if (buffer == nullptr) return nullptr;
    head = buffer->next;
    if (head != nullptr) {
        head->prev = nullptr;
    } else {
        tail = nullptr;
    }
    buffer->next = nullptr;
    buffer->prev = nullptr;
    --count;
    return buffer;
}

void CPacketPool::Fill(std::size_t count, std::size_t bufferSize) {
    // One block of links and one block of storage; nothing is allocated after this.
    std::unique_ptr<SBuffer[]> buffers(new SBuffer[count]);
    std::unique_ptr<unsigned char[]> storage(new unsigned char[count * bufferSize]());
    m_Buffers = std::move(buffers);
    m_Storage = std::move(storage);
    m_BufferCount = count;
    m_BufferSize = bufferSize;
    for (std::size_t i = 0; i < count; ++i) {
        m_Buffers[i].data = m_Storage.get() + i * bufferSize;
        m_Free.PushBack(&m_Buffers[i]);
    }
}

std::size_t CPacketPool::QueueFreeHead() {
    SBuffer* buffer = m_Free.PopFront();
    if (buffer != nullptr) m_Queue.PushBack(buffer);
    return m_Queue.count;
}

void CPacketPool::FreeOldestQueued() {
    SBuffer* buffer = m_Queue.PopFront();
    if (buffer != nullptr) m_Free.PushBack(buffer);
}

std::size_t CPacketPool::FreeAllQueued() {
    std::size_t dropped = 0;
    while (SBuffer* buffer = m_Queue.PopFront()) {
        m_Free.PushBack(buffer);
        ++dropped;
    }
    return dropped;
}
