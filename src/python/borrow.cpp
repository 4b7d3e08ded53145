#include "python/borrow.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/registry.h"
#include "python/errors.h"
#include "python/numpy_api.h"

namespace rastrel::borrow {
namespace {

constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";
constexpr std::uint64_t kTableVersion = 1;
// Returned by our table functions when they cannot answer (out of memory, NumPy unreachable);
// callers then fault with the unexpected code instead of granting a borrow blindly.
constexpr int kInternalFailure = -3;

// The table every module of the protocol reads. Its layout is fixed by the protocol, not by us.
struct BorrowApi {
    std::uint64_t version;
    void* state;
    int (*acquire)(void* state, PyObject* array);
    int (*acquire_mut)(void* state, PyObject* array);
    void (*release)(void* state, PyObject* array);
    void (*release_mut)(void* state, PyObject* array);
};
static_assert(sizeof(BorrowApi) == 48 && offsetof(BorrowApi, release_mut) == 40);

// Views of one buffer meet under the address of the array or object that owns the memory.
const void* base_address(PyObject* array) {
    PyObject* current = array;
    while (true) {
        PyObject* base = numpy::as_array(current)->base;
        if (base == nullptr) return current;
        if (!numpy::is_array(base)) return base;
        current = base;
    }
}

// `base`, when given, is base_address(object), found earlier: an array's chain of bases never
// changes.
ArrayLayout layout_of(PyObject* object, const void* base = nullptr) {
    const numpy::ArrayObject* array = numpy::as_array(object);
    const auto nd = static_cast<std::size_t>(array->nd);
    ArrayLayout layout;
    layout.data = array->data;
    layout.dims = {reinterpret_cast<const std::intptr_t*>(array->dimensions), nd};
    layout.strides = {reinterpret_cast<const std::intptr_t*>(array->strides), nd};
    layout.item_size = numpy::item_size(array->descr);
    layout.writeable = (array->flags & numpy::kArrayWriteable) != 0;
    layout.base = base != nullptr ? base : base_address(object);
    return layout;
}

// What the child of a fork inherited from threads it does not have, dropped before any borrow
// operation (below, with the record of held borrows).
void settle() noexcept;

// The four functions of a table we create. Called from C by any module of the protocol, with
// the interpreter lock held, so nothing may propagate out of them.
int acquire_shared(void* state, PyObject* array) noexcept {
    settle();
    try {
        return static_cast<BorrowRegistry*>(state)->acquire_shared(layout_of(array));
    } catch (...) {
        return kInternalFailure;
    }
}

int acquire_mut_shared(void* state, PyObject* array) noexcept {
    settle();
    try {
        return static_cast<BorrowRegistry*>(state)->acquire_mut_shared(layout_of(array));
    } catch (...) {
        return kInternalFailure;
    }
}

void release_shared(void* state, PyObject* array) noexcept {
    settle();
    try {
        static_cast<BorrowRegistry*>(state)->release_shared(layout_of(array));
    } catch (...) {
        // The layout could not be read, so there is nothing we could release either.
    }
}

void release_mut_shared(void* state, PyObject* array) noexcept {
    settle();
    try {
        static_cast<BorrowRegistry*>(state)->release_mut_shared(layout_of(array));
    } catch (...) {
    }
}

// Called by the interpreter when the capsule dies, possibly while it shuts down: nothing here may
// raise or call back into Python code.
void destroy_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<const char[]> name(PyCapsule_GetName(capsule));
    const std::unique_ptr<BorrowApi> table(static_cast<BorrowApi*>(PyCapsule_GetPointer(capsule, name.get())));
    if (table) std::unique_ptr<BorrowRegistry>(static_cast<BorrowRegistry*>(table->state)).reset();
    PyErr_Clear();
}

Ref create_capsule() {
    auto state = std::make_unique<BorrowRegistry>();
    auto table = std::make_unique<BorrowApi>(
        BorrowApi{kTableVersion, state.get(), acquire_shared, acquire_mut_shared, release_shared, release_mut_shared});
    // The capsule keeps a pointer to its name, so the name must live as long as the capsule.
    auto name = std::make_unique<char[]>(std::strlen(kCapsuleName) + 1);
    std::strcpy(name.get(), kCapsuleName);
    Ref capsule = Ref::steal(PyCapsule_New(table.get(), name.get(), destroy_capsule));
    if (!capsule) throw_pending();
    // From here on the capsule owns all three, and destroy_capsule gives them back.
    (void)state.release();
    (void)table.release();
    (void)name.release();
    return capsule;
}

BorrowApi* find_or_create_table() {
    Ref module_name = Ref::steal(PyUnicode_FromString(numpy::multiarray_module_name().c_str()));
    if (!module_name) throw_pending();
    Ref module = Ref::steal(PyImport_Import(module_name.get()));
    if (!module) throw_pending();
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), kCapsuleName));
    if (!capsule) {
        // Nobody made the table yet: we do, and every later module of the protocol uses ours.
        const Error absent = Error::fetch();
        capsule = create_capsule();
        if (PyObject_SetAttrString(module.get(), kCapsuleName, capsule.get()) < 0) throw_pending();
    }
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) throw conversion_error(capsule.get(), "PyCapsule");
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) throw_pending();
    auto* table = static_cast<BorrowApi*>(PyCapsule_GetPointer(capsule.get(), name));
    if (table == nullptr) throw_pending();
    if (table->version < 1) {
        throw_error(PyExc_TypeError, "Version " + std::to_string(table->version) +
                                         " of borrow checking API is not supported by this version of rastrel");
    }
    (void)capsule.release();  // the table must outlive every borrow: keep it for the process
    return table;
}

BorrowApi* g_table = nullptr;  // guarded by the interpreter lock; never cleared once found

// The borrows this module's calls hold, each with its thread. A fork copies the table with every
// borrow in it but only the forking thread: in the child the calls of the other threads never
// end, and their borrows would refuse the child's own calls for ever. Guarded by the interpreter
// lock; the child settles what it inherited at its first borrow operation, not inside fork.
struct Held {
    PyObject* array;
    bool exclusive;
    pthread_t owner;
};
std::vector<Held>* g_held = nullptr;
bool g_forked = false;  // set in the child, cleared once settled
pthread_t g_forking_thread;  // valid while g_forked

bool table_is_ours() noexcept { return g_table != nullptr && g_table->release == &release_shared; }

// Drops the borrows of the threads that the fork left behind; in a table of another module's
// making they are that module's to keep, and only our record of them goes.
[[gnu::cold, gnu::noinline]] void settle_after_fork() noexcept {
    g_forked = false;
    if (g_held == nullptr) return;
    const bool ours = table_is_ours();
    std::erase_if(*g_held, [ours](const Held& held) {
        if (pthread_equal(held.owner, g_forking_thread)) return false;
        if (ours) (held.exclusive ? release_mut_shared : release_shared)(g_table->state, held.array);
        return true;
    });
}

void settle() noexcept {
    if (g_forked) settle_after_fork();
}

void note_fork_in_child() noexcept {
    g_forked = true;
    g_forking_thread = pthread_self();
}

void note_held(PyObject* array, bool exclusive) {
    if (g_held == nullptr) {
        g_held = new std::vector<Held>();  // kept for the process, like the table
        pthread_atfork(nullptr, nullptr, &note_fork_in_child);
    }
    g_held->push_back({array, exclusive, pthread_self()});
}

void note_released(PyObject* array, bool exclusive) noexcept {
    if (g_held == nullptr) return;
    const pthread_t self = pthread_self();
    // Borrows end in the reverse order of their taking, so the match is almost always last.
    for (auto it = g_held->rbegin(); it != g_held->rend(); ++it) {
        if (it->array == array && it->exclusive == exclusive && pthread_equal(it->owner, self)) {
            g_held->erase(std::next(it).base());
            return;
        }
    }
}

[[gnu::cold, gnu::noinline]] BorrowApi* load_table() {
    try {
        g_table = find_or_create_table();
        return g_table;
    } catch (Error& error) {
        raise_fault("Interal borrow checking API error: " + error.render());
    }
}

inline BorrowApi* table() { return g_table != nullptr ? g_table : load_table(); }

std::variant<std::monostate, BorrowError> decode(int code) {
    switch (code) {
        case kBorrowGranted:
            return std::monostate{};
        case kBorrowAlreadyBorrowed:
            return BorrowError::AlreadyBorrowed;
        default:
            raise_fault("Unexpected return code " + std::to_string(code) + " from borrow checking API");
    }
}

// Records a granted borrow; if there is no room for the record, gives the borrow back and faults.
void noted(BorrowApi* api, PyObject* array, bool exclusive) {
    try {
        note_held(array, exclusive);
    } catch (const std::bad_alloc&) {
        (exclusive ? api->release_mut : api->release)(api->state, array);
        raise_fault("out of memory recording a borrow");
    }
}

// Our own table's acquire and release, called directly with the array's key kept in between;
// what they grant and refuse is what the table's functions would. The table stays ours once
// it is (it lives for the process).
template <bool Exclusive>
int acquire_kept(BorrowApi* api, PyObject* array, Ticket& ticket) noexcept {
    auto* registry = static_cast<BorrowRegistry*>(api->state);
    try {
        const ArrayLayout layout = layout_of(array);
        const BorrowKey key = BorrowKey::of(layout);
        const int code = Exclusive ? registry->acquire_mut_shared(layout, key) : registry->acquire_shared(layout, key);
        if (code == kBorrowGranted) ticket = {true, layout.base, key};
        return code;
    } catch (...) {
        return kInternalFailure;
    }
}

template <bool Exclusive>
void release_kept(BorrowApi* api, PyObject* array, const Ticket& ticket) noexcept {
    auto* registry = static_cast<BorrowRegistry*>(api->state);
    try {
        const ArrayLayout layout = layout_of(array, ticket.base);
        if constexpr (Exclusive) {
            registry->release_mut_shared(layout, ticket.key);
        } else {
            registry->release_shared(layout, ticket.key);
        }
    } catch (...) {
        // As release_shared: a layout that cannot be read has nothing to release.
    }
}

}  // namespace

const char* name(BorrowError error) noexcept {
    return error == BorrowError::AlreadyBorrowed ? "AlreadyBorrowed" : "NotWriteable";
}

std::variant<std::monostate, BorrowError> acquire(PyObject* array, Ticket* ticket) {
    BorrowApi* api = table();
    settle();
    const int code = ticket != nullptr && table_is_ours() ? acquire_kept<false>(api, array, *ticket)
                                                          : api->acquire(api->state, array);
    auto outcome = decode(code);
    if (std::holds_alternative<std::monostate>(outcome)) noted(api, array, false);
    return outcome;
}

std::variant<std::monostate, BorrowError> acquire_mut(PyObject* array, Ticket* ticket) {
    BorrowApi* api = table();
    settle();
    const int code = ticket != nullptr && table_is_ours() ? acquire_kept<true>(api, array, *ticket)
                                                          : api->acquire_mut(api->state, array);
    if (code == kBorrowNotWriteable) return BorrowError::NotWriteable;
    auto outcome = decode(code);
    if (std::holds_alternative<std::monostate>(outcome)) noted(api, array, true);
    return outcome;
}

void release(PyObject* array, const Ticket* ticket) {
    BorrowApi* api = table();
    settle();
    note_released(array, false);
    if (ticket != nullptr && ticket->kept) return release_kept<false>(api, array, *ticket);
    api->release(api->state, array);
}

void release_mut(PyObject* array, const Ticket* ticket) {
    BorrowApi* api = table();
    settle();
    note_released(array, true);
    if (ticket != nullptr && ticket->kept) return release_kept<true>(api, array, *ticket);
    api->release_mut(api->state, array);
}

void refuse(BorrowError error) {
    raise_fault(std::string("called `Result::unwrap()` on an `Err` value: ") + name(error));
}

}  // namespace rastrel::borrow
