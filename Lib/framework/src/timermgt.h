// The timer module (Timer_*, TIMERQUEUE_*) and the timer object layer.
//
// All timers of the process share one interval timer (ITIMER_REAL, SIGALRM
// every `resolution` ms while any timer runs) and one tick counter. On each
// tick the loop calls Timer_Event(), which queues each expired timer's
// signal value to the process itself; the value then reaches the timer's
// TimerSignalHandler like any queued value and becomes an EVENT_TIMER.
//
// A timer started for n ticks while `tick` reads t fires in the Timer_Event()
// that sees tick == t + n. Every global here is touched only from the loop.
#ifndef NUVAK_FW_TIMERMGT_H
#define NUVAK_FW_TIMERMGT_H

#include <cstdint>

#include "sigq.h"

#define TIMER_MAX 2048
#define TIMER_RESOLUTION 100
#define TIMER_MAXTICKS 65535u
#define TIMERQUEUE_FIFO 0
#define TIMERQUEUE_ORDERED 1

struct T_TIMER;

struct T_TIMERQUEUE_node {
    T_TIMERQUEUE_node* prev;
    T_TIMERQUEUE_node* next;
    std::uint64_t key;
    std::uint32_t id;
    T_TIMER* owner;  // the record, or null for the free-id nodes
};

struct T_TIMERQUEUE {
    std::uint16_t kind;  // TIMERQUEUE_FIFO or TIMERQUEUE_ORDERED
    T_TIMERQUEUE_node* head;
    T_TIMERQUEUE_node* tail;
    std::uint16_t count;
};

struct T_TIMER {
    std::uint32_t id;
    std::uint16_t mode;  // 1 periodic, 0 one-shot
    std::uint32_t value;
    std::uint32_t period;  // ticks
    std::uint64_t expiry;  // tick
    T_TIMERQUEUE_node node;
};

void TIMERQUEUE_init(T_TIMERQUEUE* queue, std::uint16_t kind);
void TIMERQUEUE_write(T_TIMERQUEUE* queue, T_TIMERQUEUE_node* node);
T_TIMERQUEUE_node* TIMERQUEUE_read(T_TIMERQUEUE* queue);
T_TIMERQUEUE_node* TIMERQUEUE_readref(T_TIMERQUEUE* queue, std::uint32_t id);
T_TIMERQUEUE_node* TIMERQUEUE_get(T_TIMERQUEUE* queue);
T_TIMERQUEUE_node* TIMERQUEUE_getref(T_TIMERQUEUE* queue, std::uint32_t id);

int Timer_Init(std::uint32_t resolution);
int Timer_Create(std::int32_t* id, std::uint32_t value);
int Timer_Start(std::int32_t id, std::uint16_t mode, std::uint32_t milliseconds);
int Timer_Stop(std::int32_t id);
int Timer_Destroy(std::int32_t id);
void Timer_Event();
void Timer_Start_Run();
void Timer_Stop_Run();
void Timer_Term();

// Read-only views for tests and diagnostics.
std::uint64_t Timer_GetTick();
bool Timer_IsRunning();
int Timer_GetExpiry(std::int32_t id, std::uint64_t* expiry);

namespace nuvak::fw {

// Called by Timer_Event() when the sigqueue of an expiry to the process
// itself fails (the kernel's queue of real-time signals is full), so that
// the expiry still reaches the ring instead of being lost. Set by the
// framework while it exists.
extern void (*TimerExpiryFallback)(std::uint32_t value);

// A timer as a client sees it (ITimer) tied to a signal value, an observer
// and a worker. Its events are always queued at PRIORITY_NORMAL.
class TimerSignalHandler : public SignalHandler, public ITimer {
public:
    TimerSignalHandler(IWorker& worker, IFrameWorkObserver& observer, unsigned int clientId,
                       unsigned int value, bool periodic, FrameWorkImpl* framework);
    ~TimerSignalHandler() override;

    bool HandleSignal(unsigned int value) override;
    unsigned int GetSignalValue() const override { return value_; }
    void Stop() override;
    bool Start(unsigned int milliseconds, unsigned int* pValue) override;

    bool IsCreated() const { return created_; }

private:
    bool running_ = false;
    bool periodic_;
    bool created_ = false;
    std::int32_t timerId_ = -1;
};

}  // namespace nuvak::fw

#endif
