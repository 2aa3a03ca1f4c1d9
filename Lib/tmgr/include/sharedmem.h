// System V shared-memory helpers used by the task manager interface, the IPC
// address table and the unit table.
//
// Who creates and who removes each segment of the installation:
//   key 0x1001  task manager data module   created and filled by the task
//               manager (tools/nuvak-tmgr stands in for it), which also
//               removes it when it ends; processes only link to it.
//   key 0x1006  unit table                  created by the unit-table writer;
//               never removed by the tour service.
//   key 0x1009  IPC address table           created by the first process that
//               needs it (Shm_Create after a failed Shm_Link) and never removed:
//               it outlives every process.
// A segment stays in the system after every process detached (Shm_Unlink);
// only Shm_Remove marks it for removal.
#ifndef SHAREDMEM_H
#define SHAREDMEM_H

#include <sys/types.h>

#include <cstddef>

// All helpers return 0 on success; -1 for a missing out-argument or address,
// or when the existing segment is smaller than the size asked for; otherwise
// the errno of the system call that failed. Out-arguments are written only on
// success.

// Attaches to the existing segment of `key` (permissions 0666), which must be
// at least `size` bytes. Never creates one.
int Shm_Link(key_t key, std::size_t size, int* id, void** address);

// As Shm_Link, but creates the segment (zero-filled by the system) when there
// is none with `key`.
int Shm_Create(key_t key, std::size_t size, int* id, void** address);

// Detaches the segment attached at `address`; the segment stays in the system.
int Shm_Unlink(void* address);

// Marks the segment `id` for removal: it disappears once the last process
// detached. Only the creator of a segment that must not outlive it calls this.
int Shm_Remove(int id);

namespace nuvak::tmgr {

// Owner of one attachment: detaches in its destructor. Movable, not copyable.
class ShmAttachment {
public:
    ShmAttachment() = default;
    ~ShmAttachment() { Reset(); }
    ShmAttachment(ShmAttachment&& other) noexcept : id_(other.id_), address_(other.address_), size_(other.size_) {
        other.id_ = -1;
        other.address_ = nullptr;
        other.size_ = 0;
    }
    ShmAttachment& operator=(ShmAttachment&& other) noexcept {
        if (this != &other) {
            Reset();
            id_ = other.id_;
            address_ = other.address_;
            size_ = other.size_;
            other.id_ = -1;
            other.address_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    ShmAttachment(const ShmAttachment&) = delete;
    ShmAttachment& operator=(const ShmAttachment&) = delete;

    // Shm_Link / Shm_Create into this owner (any previous attachment is
    // detached first). Same return codes.
    int Link(key_t key, std::size_t size);
    int Create(key_t key, std::size_t size);

    // Detaches, if attached.
    void Reset();

    bool IsAttached() const { return address_ != nullptr; }
    int Id() const { return id_; }
    unsigned char* Data() const { return static_cast<unsigned char*>(address_); }
    // The size asked for when attaching (the segment may be larger).
    std::size_t Size() const { return size_; }

private:
    int id_ = -1;
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace nuvak::tmgr

#endif
