#include "driver/PendingTable.h"

#include <stddef.h>

void PendingTableInit(PendingTable* table) {
    uint32_t i;
    for (i = 0; i < PENDING_TABLE_SLOTS; ++i) {
        table->slots[i].thread = 0;
        table->slots[i].object = 0;
        table->slots[i].age = 0;
        table->slots[i].record = NULL;
    }
    table->nextAge = 0;
}

/* Ages compare relative to the next one, so that the count may wrap. */
static uint32_t Distance(const PendingTable* table, const PendingSlot* slot) {
    return table->nextAge - slot->age;
}

static PendingSlot* FreeSlot(PendingTable* table) {
    uint32_t i;
    for (i = 0; i < PENDING_TABLE_SLOTS; ++i) {
        if (table->slots[i].record == NULL)
            return &table->slots[i];
    }
    return NULL;
}

static PendingSlot* OldestSlot(PendingTable* table) {
    PendingSlot* oldest = NULL;
    uint32_t i;
    for (i = 0; i < PENDING_TABLE_SLOTS; ++i) {
        PendingSlot* slot = &table->slots[i];
        if (slot->record != NULL && (oldest == NULL || Distance(table, slot) > Distance(table, oldest)))
            oldest = slot;
    }
    return oldest;
}

static PendingSlot* SlotOfThread(PendingTable* table, uintptr_t thread) {
    uint32_t i;
    for (i = 0; i < PENDING_TABLE_SLOTS; ++i) {
        if (table->slots[i].record != NULL && table->slots[i].thread == thread)
            return &table->slots[i];
    }
    return NULL;
}

static void Fill(PendingTable* table, PendingSlot* slot, uintptr_t thread, uintptr_t object, void* record) {
    slot->thread = thread;
    slot->object = object;
    slot->age = table->nextAge++;
    slot->record = record;
}

static void* Empty(PendingSlot* slot) {
    void* record = slot->record;
    slot->record = NULL;
    return record;
}

void* PendingTableRemember(PendingTable* table, uintptr_t thread, uintptr_t object, void* record) {
    void* displaced = NULL;
    PendingSlot* slot = SlotOfThread(table, thread);
    if (slot == NULL)
        slot = FreeSlot(table);
    if (slot == NULL)
        slot = OldestSlot(table);
    if (slot->record != NULL)
        displaced = Empty(slot);
    Fill(table, slot, thread, object, record);
    return displaced;
}

int PendingTableAdd(PendingTable* table, uintptr_t thread, uintptr_t object, void* record) {
    PendingSlot* slot = FreeSlot(table);
    if (slot == NULL)
        return 0;
    Fill(table, slot, thread, object, record);
    return 1;
}

void* PendingTableClaim(PendingTable* table, uintptr_t thread, uintptr_t object) {
    uint32_t i;
    for (i = 0; i < PENDING_TABLE_SLOTS; ++i) {
        PendingSlot* slot = &table->slots[i];
        if (slot->record != NULL && slot->thread == thread && slot->object == object)
            return Empty(slot);
    }
    return NULL;
}

void* PendingTableClaimOldest(PendingTable* table) {
    PendingSlot* oldest = OldestSlot(table);
    return oldest == NULL ? NULL : Empty(oldest);
}
