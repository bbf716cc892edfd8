// Small owners used inside ImgPort: a malloc'd block and a file descriptor.
#pragma once

#include <cstdint>
#include <cstdlib>

#include <unistd.h>

#include "block/frame_block.h"

namespace imgport {

// Owns a block from malloc or AllocatePixels (both go back through ReleaseFrameBlock, which
// hands a block it did not map to free) and releases it unless released.
class CMallocBlock {
  public:
    CMallocBlock() = default;
    explicit CMallocBlock(void* block)
        : m_block(static_cast<uint8_t*>(block))
    {
    }
    CMallocBlock(const CMallocBlock&) = delete;
    CMallocBlock& operator=(const CMallocBlock&) = delete;
    ~CMallocBlock() { ReleaseFrameBlock(m_block); }

    void Reset(void* block = nullptr)
    {
        ReleaseFrameBlock(m_block);
        m_block = static_cast<uint8_t*>(block);
    }
    uint8_t* Release()
    {
        uint8_t* block = m_block;
        m_block = nullptr;
        return block;
    }
    uint8_t* Get() const { return m_block; }
    explicit operator bool() const { return m_block != nullptr; }

  private:
    uint8_t* m_block = nullptr;
};

// Owns a file descriptor and closes it unless released.
class CUniqueFd {
  public:
    explicit CUniqueFd(int fd = -1)
        : m_fd(fd)
    {
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd()
    {
        if (m_fd >= 0) close(m_fd);
    }
    int Get() const { return m_fd; }
    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

}  // namespace imgport
