// System V shared-memory helpers.
#include "sharedmem.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>

namespace {

// Attaches segment `id` after checking that it holds at least `size` bytes.
int AttachChecked(int id, std::size_t size, int* idOut, void** address) {
    struct shmid_ds info {};
    if (shmctl(id, IPC_STAT, &info) != 0) return errno;
    if (info.shm_segsz < size) return -1;
    void* at = shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) return errno;
    *idOut = id;
    *address = at;
    return 0;
}

}  // namespace

// The segment is looked up with size 0 first: shmget() with a size larger than
// an existing segment fails with EINVAL, and an undersized segment must be
// reported as such (-1), whatever size was asked for.
int Shm_Link(key_t key, std::size_t size, int* id, void** address) {
    if (id == nullptr || address == nullptr) return -1;
    int found = shmget(key, 0, 0666);
    if (found < 0) return errno;
    return AttachChecked(found, size, id, address);
}

int Shm_Create(key_t key, std::size_t size, int* id, void** address) {
    if (id == nullptr || address == nullptr) return -1;
    int found = shmget(key, 0, 0666);
    if (found < 0) {
        if (errno != ENOENT) return errno;
        found = shmget(key, size, IPC_CREAT | 0666);
        if (found < 0) return errno;
    }
    return AttachChecked(found, size, id, address);
}

int Shm_Unlink(void* address) {
    if (address == nullptr) return -1;
    if (shmdt(address) != 0) return errno;
    return 0;
}

int Shm_Remove(int id) {
    if (id < 0) return -1;
    if (shmctl(id, IPC_RMID, nullptr) != 0) return errno;
    return 0;
}

namespace nuvak::tmgr {

int ShmAttachment::Link(key_t key, std::size_t size) {
    Reset();
    int rc = Shm_Link(key, size, &id_, &address_);
    if (rc == 0) size_ = size;
    return rc;
}

int ShmAttachment::Create(key_t key, std::size_t size) {
    Reset();
    int rc = Shm_Create(key, size, &id_, &address_);
    if (rc == 0) size_ = size;
    return rc;
}

void ShmAttachment::Reset() {
    if (address_ != nullptr) Shm_Unlink(address_);
    address_ = nullptr;
    id_ = -1;
    size_ = 0;
}

}  // namespace nuvak::tmgr
