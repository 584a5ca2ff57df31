#include "firmware.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim {

using namespace fw;

namespace {

constexpr uint32_t INTERFACE_BYTES = 14;
constexpr char SIGNATURE[] = "$QRF";

uint32_t sum_words(const std::vector<uint8_t>& bytes, uint32_t n) {
    uint32_t s = 0;
    for (uint32_t i = 0; i + 4 <= n; i += 4) {
        s += uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 | uint32_t(bytes[i + 2]) << 16 |
             uint32_t(bytes[i + 3]) << 24;
    }
    return s;
}

}  // namespace

Firmware::Firmware(PortBus& bus, PhysMemory& memory)
    : bus_(bus), memory_(memory), failed_writes_per_block_(phys::FLASH_SIZE / ERASE_BLOCK_BYTES, 0) {}

void Firmware::install_interface(uint32_t block_offset, uint8_t record_offset, uint16_t notify_port) {
    remove_interface();
    uint8_t block[INTERFACE_BYTES] = {};
    std::memcpy(block, SIGNATURE, 4);
    block[INTERFACE_RECORD_OFFSET_AT] = record_offset;
    block[INTERFACE_NOTIFY_PORT_AT] = uint8_t(notify_port);
    block[INTERFACE_NOTIFY_PORT_AT + 1] = uint8_t(notify_port >> 8);
    uint32_t length = std::min<uint32_t>(INTERFACE_BYTES, phys::FSEG_SIZE - block_offset);
    memory_.write(phys::FSEG_BASE + block_offset, block, length);
    interface_ = Interface{block_offset, record_offset, notify_port};
    bus_.claim(notify_port, notify_port, this);
}

bool Firmware::adopt_interface() {
    remove_interface();
    std::vector<uint8_t> fseg(phys::FSEG_SIZE);
    memory_.read(phys::FSEG_BASE, fseg.data(), fseg.size());
    for (uint32_t at = 0; at + INTERFACE_BYTES <= phys::FSEG_SIZE; ++at) {
        if (std::memcmp(&fseg[at], SIGNATURE, 4) != 0) {
            continue;
        }
        uint8_t record_offset = fseg[at + INTERFACE_RECORD_OFFSET_AT];
        uint16_t port =
            uint16_t(fseg[at + INTERFACE_NOTIFY_PORT_AT] | fseg[at + INTERFACE_NOTIFY_PORT_AT + 1] << 8);
        if (uint64_t(at) + record_offset + sizeof(flash_command_record) <= phys::FSEG_SIZE) {
            interface_ = Interface{at, record_offset, port};
            bus_.claim(port, port, this);
            return true;
        }
    }
    return false;
}

void Firmware::remove_interface() {
    if (!interface_) {
        return;
    }
    memory_.fill(phys::FSEG_BASE + interface_->block_offset, 0, 4);
    bus_.release(interface_->notify_port, interface_->notify_port);
    interface_.reset();
}

uint32_t Firmware::record_physical() const {
    return phys::FSEG_BASE + interface_->block_offset + interface_->record_offset;
}

flash_command_record Firmware::record() const {
    flash_command_record r{};
    if (interface_) {
        memory_.read(record_physical(), &r, sizeof r);
    }
    return r;
}

uint32_t Firmware::read(uint16_t, unsigned) { return 0xFFFFFFFFu; }

void Firmware::write(uint16_t, unsigned, uint32_t value) {
    events.push_back({FirmwareEvent::Kind::Port, uint8_t(value), 0, record()});
}

std::vector<FirmwareEvent> Firmware::callbacks() const {
    std::vector<FirmwareEvent> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                 [](const FirmwareEvent& e) { return e.kind == FirmwareEvent::Kind::Callback; });
    return out;
}

std::vector<uint8_t> Firmware::port_codes() const {
    std::vector<uint8_t> out;
    for (const FirmwareEvent& e : events) {
        if (e.kind == FirmwareEvent::Kind::Port) {
            out.push_back(e.code);
        }
    }
    return out;
}

bool Firmware::powered() const {
    return (!power_lost_after_writes || writes_programmed < *power_lost_after_writes) &&
           (!power_lost_after_operations || operations() < *power_lost_after_operations);
}

void Firmware::callback(uint32_t handle, const flash_command_record& record) {
    events.push_back({FirmwareEvent::Kind::Callback, record.code, handle, record});
    switch (record.code) {
    case CODE_PREPARE:
        erase(record.flash_address);
        if (length_after_prepare && interface_) {
            uint32_t length = *length_after_prepare;
            memory_.write(record_physical() + offsetof(flash_command_record, length), &length, 4);
        }
        break;
    case CODE_WRITE:
        program(record);
        break;
    case CODE_END:
        if (disturb_after_end) {
            uint8_t b = uint8_t(memory_.byte(phys::FLASH_BASE + *disturb_after_end) ^ 0x01);
            memory_.write(phys::FLASH_BASE + *disturb_after_end, &b, 1);
        }
        break;
    default:
        break;
    }
}

void Firmware::erase(uint32_t flash_address) {
    uint32_t block = flash_address & ~(ERASE_BLOCK_BYTES - 1);
    if (block < phys::FLASH_BASE) {
        ++rejected_calls;
        return;
    }
    if (write_protected || !powered()) {
        return;
    }
    memory_.fill(block, 0xFF, ERASE_BLOCK_BYTES);
    ++erases;
}

// NOR programming: bits can only go from 1 to 0, so a block that was not
// erased first keeps the AND of old and new contents.
void Firmware::program(const flash_command_record& record) {
    uint32_t length = record.length;
    if (record.flash_address < phys::FLASH_BASE || length == 0 || length > ERASE_BLOCK_BYTES ||
        uint64_t(record.flash_address) + length > uint64_t(phys::FLASH_BASE) + phys::FLASH_SIZE) {
        ++rejected_calls;
        return;
    }
    std::vector<uint8_t> data(length);
    if (!memory_.read(record.transfer_address, data.data(), length)) {
        ++rejected_calls;
        return;
    }
    if (~sum_words(data, length) != record.check) {
        ++refused_checks;
        return;
    }
    uint32_t block_index = (record.flash_address - phys::FLASH_BASE) / ERASE_BLOCK_BYTES;
    bool fails = failing_block && *failing_block / ERASE_BLOCK_BYTES == block_index &&
                 failed_writes_per_block_[block_index] < failing_block_writes;
    if (fails) {
        ++failed_writes_per_block_[block_index];
    }
    if (write_protected || ignore_writes || fails || !powered()) {
        return;
    }
    uint32_t programmed = partial_write_bytes ? std::min(length, *partial_write_bytes) : length;
    std::vector<uint8_t> cells(programmed);
    memory_.read(record.flash_address, cells.data(), programmed);
    for (uint32_t i = 0; i < programmed; ++i) {
        cells[i] &= data[i];
    }
    memory_.write(record.flash_address, cells.data(), programmed);
    ++writes_programmed;
}

}  // namespace sim
