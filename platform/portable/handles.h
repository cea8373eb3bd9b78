// The objects behind handles. A handle carries the object's slot, the slot's generation and the
// table's tag: a handle kept after its object went never reaches the object that takes the slot
// next, and a handle of one kind never reaches an object of another.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zvp {

enum class HandleKind : unsigned {
    device_context = 1,
    gdi_object = 2,
    window = 3,
    kernel_object = 4,
    printer = 5,
    search = 6,
};

template <class T> class HandleTable {
  public:
    explicit HandleTable(HandleKind kind) : tag_(static_cast<uintptr_t>(kind)) {}

    void* add(std::shared_ptr<T> object) {
        size_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            index = slots_.size();
            slots_.emplace_back();
        }
        Slot& slot = slots_[index];
        slot.object = std::move(object);
        slot.generation = (slot.generation + 1) & kGenerationMask;
        return reinterpret_cast<void*>(encode(index, slot.generation));
    }

    // The object, or null for a handle that is not (or no longer) this table's.
    T* get(const void* handle) const {
        const Slot* slot = find(handle);
        return slot ? slot->object.get() : nullptr;
    }
    std::shared_ptr<T> shared(const void* handle) const {
        const Slot* slot = find(handle);
        return slot ? slot->object : nullptr;
    }

    bool remove(const void* handle) {
        const Slot* slot = find(handle);
        if (!slot)
            return false;
        size_t index = static_cast<size_t>(slot - slots_.data());
        slots_[index].object.reset();
        free_.push_back(index);
        return true;
    }

    // Removes every object `drop` says so of.
    template <class Drop> void remove_if(Drop drop) {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].object && drop(*slots_[i].object)) {
                slots_[i].object.reset();
                free_.push_back(i);
            }
    }

    template <class Visit> void for_each(Visit visit) const {
        for (const Slot& slot : slots_)
            if (slot.object)
                visit(*slot.object);
    }

  private:
    static constexpr unsigned kTagBits = 4;
    static constexpr uintptr_t kIndexBits = sizeof(uintptr_t) == 8 ? 28 : 20;
    static constexpr uintptr_t kGenerationMask = sizeof(uintptr_t) == 8 ? 0x7FFFFFFF : 0x7F;

    struct Slot {
        std::shared_ptr<T> object;
        uintptr_t generation = 0;
    };

    uintptr_t encode(size_t index, uintptr_t generation) const {
        return (generation << (kIndexBits + kTagBits)) |
               (static_cast<uintptr_t>(index + 1) << kTagBits) | tag_;
    }

    const Slot* find(const void* handle) const {
        auto value = reinterpret_cast<uintptr_t>(handle);
        if ((value & ((uintptr_t(1) << kTagBits) - 1)) != tag_)
            return nullptr;
        uintptr_t index = ((value >> kTagBits) & ((uintptr_t(1) << kIndexBits) - 1));
        uintptr_t generation = value >> (kIndexBits + kTagBits);
        if (index == 0 || index > slots_.size())
            return nullptr;
        const Slot& slot = slots_[index - 1];
        return slot.object && slot.generation == generation ? &slot : nullptr;
    }

    uintptr_t tag_;
    std::vector<Slot> slots_;
    std::vector<size_t> free_;
};

} // namespace zvp
