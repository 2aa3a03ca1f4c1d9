// Timer module and timer objects.
#include "timermgt.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <new>

#include "frameworkimpl.h"

namespace {

std::uint32_t resolution = TIMER_RESOLUTION;
std::uint16_t f_timerInit = 0;
std::uint16_t f_timerRun = 0;
std::uint64_t tick = 0;
T_TIMERQUEUE_node qTimerId[TIMER_MAX];
T_TIMERQUEUE timerIdQ;
T_TIMERQUEUE timerStopQ;
T_TIMERQUEUE timerStartQ;

void Unlink(T_TIMERQUEUE* q, T_TIMERQUEUE_node* n) {
    if (n->prev != nullptr) n->prev->next = n->next; else q->head = n->next;
    if (n->next != nullptr) n->next->prev = n->prev; else q->tail = n->prev;
    n->prev = n->next = nullptr;
    --q->count;
}

void Timer_SetId(std::uint32_t id) {
    T_TIMERQUEUE_node* n = &qTimerId[id];
    n->key = 0xFFFFFFFFu;
    n->id = id;
    n->owner = nullptr;
    TIMERQUEUE_write(&timerIdQ, n);
}

std::int32_t Timer_GetId() {
    T_TIMERQUEUE_node* n = TIMERQUEUE_read(&timerIdQ);
    return n == nullptr ? -1 : static_cast<std::int32_t>(n->id);
}

bool ValidId(std::int32_t id) { return id >= 0 && id < TIMER_MAX; }

void EnsureInit() {
    if (f_timerInit == 0) Timer_Init(TIMER_RESOLUTION);
}

}  // namespace

void TIMERQUEUE_init(T_TIMERQUEUE* queue, std::uint16_t kind) {
    queue->kind = kind;
    queue->head = queue->tail = nullptr;
    queue->count = 0;
}

void TIMERQUEUE_write(T_TIMERQUEUE* q, T_TIMERQUEUE_node* node) {
    node->prev = node->next = nullptr;
    if (q->kind == TIMERQUEUE_ORDERED) {
        // After every node whose key is less than or equal: walk back from
        // the tail, which is short when periods are alike.
        T_TIMERQUEUE_node* after = q->tail;
        while (after != nullptr && after->key > node->key) after = after->prev;
        if (after == nullptr) {
            node->next = q->head;
            if (q->head != nullptr) q->head->prev = node; else q->tail = node;
            q->head = node;
        } else {
            node->prev = after;
            node->next = after->next;
            if (after->next != nullptr) after->next->prev = node; else q->tail = node;
            after->next = node;
        }
    } else {
        node->prev = q->tail;
        if (q->tail != nullptr) q->tail->next = node; else q->head = node;
        q->tail = node;
    }
    ++q->count;
}

T_TIMERQUEUE_node* TIMERQUEUE_read(T_TIMERQUEUE* q) {
    T_TIMERQUEUE_node* n = q->head;
    if (n != nullptr) Unlink(q, n);
    return n;
}

T_TIMERQUEUE_node* TIMERQUEUE_getref(T_TIMERQUEUE* q, std::uint32_t id) {
    for (T_TIMERQUEUE_node* n = q->head; n != nullptr; n = n->next) {
        if (n->id == id) return n;
    }
    return nullptr;
}

T_TIMERQUEUE_node* TIMERQUEUE_readref(T_TIMERQUEUE* q, std::uint32_t id) {
    T_TIMERQUEUE_node* n = TIMERQUEUE_getref(q, id);
    if (n != nullptr) Unlink(q, n);
    return n;
}

T_TIMERQUEUE_node* TIMERQUEUE_get(T_TIMERQUEUE* q) { return q->head; }

int Timer_Init(std::uint32_t res) {
    TIMERQUEUE_init(&timerStartQ, TIMERQUEUE_ORDERED);
    TIMERQUEUE_init(&timerStopQ, TIMERQUEUE_FIFO);
    TIMERQUEUE_init(&timerIdQ, TIMERQUEUE_FIFO);
    resolution = res == 0 ? TIMER_RESOLUTION : res;
    f_timerInit = 0xFFFF;
    for (std::uint32_t id = 0; id < TIMER_MAX; ++id) Timer_SetId(id);
    return 0;
}

int Timer_Create(std::int32_t* id, std::uint32_t value) {
    EnsureInit();
    std::int32_t newId = Timer_GetId();
    if (newId < 0) {
        *id = -1;
        return -1;
    }
    T_TIMER* t = new (std::nothrow) T_TIMER{};
    if (t == nullptr) {
        Timer_SetId(static_cast<std::uint32_t>(newId));
        *id = -1;
        return -1;
    }
    t->id = static_cast<std::uint32_t>(newId);
    t->value = value;
    t->node.id = t->id;
    t->node.owner = t;
    t->node.key = 0;
    TIMERQUEUE_write(&timerStopQ, &t->node);
    *id = newId;
    return 0;
}

int Timer_Start(std::int32_t id, std::uint16_t mode, std::uint32_t ms) {
    EnsureInit();
    if (!ValidId(id)) return -1;
    const auto uid = static_cast<std::uint32_t>(id);
    if (TIMERQUEUE_getref(&timerStartQ, uid) != nullptr) return 0;  // keeps its schedule
    T_TIMERQUEUE_node* n = TIMERQUEUE_readref(&timerStopQ, uid);
    if (n == nullptr) return -1;
    T_TIMER* t = n->owner;
    t->mode = mode;
    std::uint32_t ticks = resolution < ms ? ms / resolution : 1;
    if (ticks > TIMER_MAXTICKS) ticks = TIMER_MAXTICKS;
    t->period = ticks;
    t->expiry = tick + ticks;
    n->key = t->expiry;
    TIMERQUEUE_write(&timerStartQ, n);
    if (f_timerRun == 0) Timer_Start_Run();
    return 0;
}

int Timer_Stop(std::int32_t id) {
    EnsureInit();
    if (!ValidId(id)) return -1;
    const auto uid = static_cast<std::uint32_t>(id);
    T_TIMERQUEUE_node* n = TIMERQUEUE_readref(&timerStartQ, uid);
    if (n != nullptr) {
        TIMERQUEUE_write(&timerStopQ, n);
        if (timerStartQ.count == 0) Timer_Stop_Run();
        return 0;
    }
    return TIMERQUEUE_getref(&timerStopQ, uid) != nullptr ? 0 : -1;
}

int Timer_Destroy(std::int32_t id) {
    if (Timer_Stop(id) != 0) return -1;
    T_TIMERQUEUE_node* n = TIMERQUEUE_readref(&timerStopQ, static_cast<std::uint32_t>(id));
    if (n == nullptr) return -1;
    delete n->owner;
    Timer_SetId(static_cast<std::uint32_t>(id));
    return 0;
}

void Timer_Event() {
    EnsureInit();
    for (;;) {
        T_TIMERQUEUE_node* n = TIMERQUEUE_get(&timerStartQ);
        if (n == nullptr || n->owner->expiry > tick) break;
        TIMERQUEUE_read(&timerStartQ);
        T_TIMER* t = n->owner;
        if (t->mode == 1) {
            t->expiry += t->period;
            n->key = t->expiry;
            TIMERQUEUE_write(&timerStartQ, n);
        } else {
            TIMERQUEUE_write(&timerStopQ, n);
        }
        union sigval sv;
        sv.sival_int = static_cast<int>(t->value);
        if (sigqueue(getpid(), FrameWorkSignal(), sv) != 0 &&
            nuvak::fw::TimerExpiryFallback != nullptr) {
            nuvak::fw::TimerExpiryFallback(t->value);
        }
    }
    ++tick;
}

void Timer_Start_Run() {
    struct itimerval it {};
    it.it_value.tv_sec = resolution / 1000;
    it.it_value.tv_usec = (resolution % 1000) * 1000;
    it.it_interval = it.it_value;
    setitimer(ITIMER_REAL, &it, nullptr);
    f_timerRun = 0xFFFF;
}

void Timer_Stop_Run() {
    struct itimerval it {};
    setitimer(ITIMER_REAL, &it, nullptr);
    f_timerRun = 0;
    tick = 0;
}

void Timer_Term() {
    Timer_Stop_Run();
    if (f_timerInit == 0) return;
    for (T_TIMERQUEUE* q : {&timerStartQ, &timerStopQ}) {
        while (T_TIMERQUEUE_node* n = TIMERQUEUE_read(q)) delete n->owner;
    }
    // The next user (a framework built again in the same process) starts
    // with every id free.
    f_timerInit = 0;
}

std::uint64_t Timer_GetTick() { return tick; }
bool Timer_IsRunning() { return f_timerRun != 0; }

int Timer_GetExpiry(std::int32_t id, std::uint64_t* expiry) {
    if (f_timerInit == 0 || !ValidId(id)) return -1;
    T_TIMERQUEUE_node* n = TIMERQUEUE_getref(&timerStartQ, static_cast<std::uint32_t>(id));
    if (n == nullptr) return -1;
    *expiry = n->owner->expiry;
    return 0;
}

namespace nuvak::fw {

void (*TimerExpiryFallback)(std::uint32_t value) = nullptr;

TimerSignalHandler::TimerSignalHandler(IWorker& worker, IFrameWorkObserver& observer,
                                       unsigned int clientId, unsigned int value, bool periodic,
                                       FrameWorkImpl* framework)
    : SignalHandler(worker, observer, clientId, PRIORITY_NORMAL, value, 0xFFFFFFFFu, EVENT_TIMER,
                    framework, 0),
      periodic_(periodic) {
    created_ = Timer_Create(&timerId_, value) == 0;
}

TimerSignalHandler::~TimerSignalHandler() {
    if (created_) Timer_Destroy(timerId_);
}

bool TimerSignalHandler::HandleSignal(unsigned int value) {
    if (!running_) return false;
    const bool taken = SignalHandler::HandleSignal(value);
    if (taken && !periodic_) {
        running_ = false;
        Timer_Stop(timerId_);
    }
    return taken;
}

void TimerSignalHandler::Stop() {
    if (running_) {
        running_ = false;
        Timer_Stop(timerId_);
    }
    // Neither an expiry already turned into an event nor one still waiting
    // in the ring may arrive after Stop() (nor early, after a restart).
    worker_->RemoveEvent(PRIORITY_NORMAL, value_);
    if (framework_ != nullptr) framework_->PurgeSignalValue(value_);
}

bool TimerSignalHandler::Start(unsigned int milliseconds, unsigned int* pValue) {
    if (pValue != nullptr) *pValue = value_;
    running_ = true;
    if (Timer_Start(timerId_, periodic_ ? 1 : 0, milliseconds) == 0) return true;
    running_ = false;
    return false;
}

}  // namespace nuvak::fw
