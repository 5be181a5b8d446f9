#include "create/label_alignment.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"

namespace vtpatch {

namespace {

struct Reference {
    Instruction::Kind kind;
    uint32_t op; // the ARM branch op, else 0
    Label *label;
    uint64_t context; // hash of the plain bytes (and markers) before the reference
};

// Eight bytes before a reference identify it well in practice (the instruction before a call,
// the opcode of the call itself); a reference or marker in between counts as a byte of its own.
class Window {
public:
    void Push(uint8_t value) { bytes_ = (bytes_ << 8) | value; }
    uint64_t Hash(uint32_t salt) const
    {
        uint64_t h = bytes_ ^ (uint64_t{salt} * 0x9E3779B97F4A7C15ull);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return h;
    }

private:
    uint64_t bytes_ = 0;
};

std::vector<Reference> CollectReferences(const LabeledProgram &program)
{
    std::vector<Reference> references;
    Window window;
    for (size_t i = 0; i < program.instruction_count(); ++i) {
        const Instruction &instruction = program.instruction(i);
        switch (instruction.kind) {
        case Instruction::BYTE:
            window.Push(instruction.byte);
            break;
        case Instruction::BYTES: {
            const uint32_t n = instruction.value;
            for (uint32_t k = n > 8 ? n - 8 : 0; k < n; ++k)
                window.Push(instruction.bytes[k]);
            break;
        }
        case Instruction::REL32:
        case Instruction::ABS32:
        case Instruction::ARM_BRANCH: {
            const uint32_t op = instruction.kind == Instruction::ARM_BRANCH ? instruction.value : 0;
            references.push_back(
                {instruction.kind, op, instruction.label, window.Hash((uint32_t{instruction.kind} << 16) ^ op)});
            window.Push(static_cast<uint8_t>(0xF0 + instruction.kind));
            break;
        }
        default:
            window.Push(static_cast<uint8_t>(0xE0 + instruction.kind));
            break;
        }
    }
    return references;
}

bool SameShape(const Reference &a, const Reference &b)
{
    return a.kind == b.kind && a.op == b.op;
}

// Pairs of (old position, new position) of references that correspond: unique contexts as
// anchors, then runs of same-shaped references on both sides of each anchor.
std::vector<std::pair<size_t, size_t>> MatchReferences(const std::vector<Reference> &old_refs,
                                                       const std::vector<Reference> &new_refs)
{
    std::unordered_map<uint64_t, std::pair<int64_t, int64_t>> contexts; // hash -> (old pos, new pos)
    const auto note = [&](uint64_t hash, size_t position, bool is_new) {
        auto &entry = contexts.emplace(hash, std::make_pair(int64_t(-1), int64_t(-1))).first->second;
        int64_t &slot = is_new ? entry.second : entry.first;
        slot = slot == -1 ? int64_t(position) : -2; // -2: seen more than once
    };
    for (size_t i = 0; i < old_refs.size(); ++i)
        note(old_refs[i].context, i, false);
    for (size_t j = 0; j < new_refs.size(); ++j)
        note(new_refs[j].context, j, true);

    std::vector<int64_t> new_to_old(new_refs.size(), -1);
    std::vector<bool> old_used(old_refs.size(), false);
    std::vector<std::pair<size_t, size_t>> anchors;
    for (const auto &entry : contexts) {
        const int64_t i = entry.second.first;
        const int64_t j = entry.second.second;
        if (i >= 0 && j >= 0 && SameShape(old_refs[size_t(i)], new_refs[size_t(j)]))
            anchors.emplace_back(size_t(i), size_t(j));
    }
    std::sort(anchors.begin(), anchors.end());
    for (const auto &anchor : anchors) {
        new_to_old[anchor.second] = int64_t(anchor.first);
        old_used[anchor.first] = true;
    }
    for (const auto &anchor : anchors) {
        // Forward and backward while both sides are free and alike.
        for (size_t i = anchor.first + 1, j = anchor.second + 1; i < old_refs.size() && j < new_refs.size(); ++i, ++j) {
            if (old_used[i] || new_to_old[j] != -1 || !SameShape(old_refs[i], new_refs[j]))
                break;
            new_to_old[j] = int64_t(i);
            old_used[i] = true;
        }
        for (size_t i = anchor.first, j = anchor.second; i > 0 && j > 0; --i, --j) {
            if (old_used[i - 1] || new_to_old[j - 1] != -1 || !SameShape(old_refs[i - 1], new_refs[j - 1]))
                break;
            new_to_old[j - 1] = int64_t(i - 1);
            old_used[i - 1] = true;
        }
    }
    std::vector<std::pair<size_t, size_t>> pairs;
    for (size_t j = 0; j < new_refs.size(); ++j) {
        if (new_to_old[j] >= 0)
            pairs.emplace_back(size_t(new_to_old[j]), j);
    }
    return pairs;
}

// Numbers the new labels of one map (abs32 or rel32).
void Renumber(const std::map<uint32_t, Label *> &old_labels, const std::map<uint32_t, Label *> &new_labels,
              const std::vector<Reference> &old_refs, const std::vector<Reference> &new_refs,
              const std::vector<std::pair<size_t, size_t>> &pairs, bool abs32)
{
    const auto in_map = [abs32](const Reference &reference) { return (reference.kind == Instruction::ABS32) == abs32; };
    // Votes for (old label, new label).
    std::map<std::pair<Label *, Label *>, int> votes;
    for (const auto &pair : pairs) {
        const Reference &o = old_refs[pair.first];
        const Reference &n = new_refs[pair.second];
        if (!in_map(o) || !in_map(n) || o.label->index < 0)
            continue;
        if (old_labels.count(o.label->address) == 0 || new_labels.count(n.label->address) == 0)
            continue; // trimmed: its number is not in the old table
        ++votes[{o.label, n.label}];
    }
    std::vector<std::pair<std::pair<Label *, Label *>, int>> ranked(votes.begin(), votes.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) {
        // Fully ordered by counts and addresses (not by where the labels happen to live in
        // memory), so that the same inputs always give the same patch.
        if (a.second != b.second)
            return a.second > b.second;
        if (a.first.second->address != b.first.second->address)
            return a.first.second->address < b.first.second->address;
        return a.first.first->address < b.first.first->address;
    });

    std::map<Label *, int32_t> assigned; // new label -> number
    std::map<int32_t, bool> taken;       // numbers given out
    for (const auto &entry : ranked) {
        Label *old_label = entry.first.first;
        Label *new_label = entry.first.second;
        if (assigned.count(new_label) != 0 || taken.count(old_label->index) != 0)
            continue;
        assigned[new_label] = old_label->index;
        taken[old_label->index] = true;
    }
    // Labels that did not move (data, or code before the first change) keep their number too.
    for (const auto &entry : new_labels) {
        if (assigned.count(entry.second) != 0)
            continue;
        const auto old = old_labels.find(entry.first);
        if (old != old_labels.end() && old->second->index >= 0 && taken.count(old->second->index) == 0) {
            assigned[entry.second] = old->second->index;
            taken[old->second->index] = true;
        }
    }
    // The rest take the numbers of old labels that found no partner, both in address order
    // (code that changed in place keeps its slots in the tables), then numbers after the old
    // program's highest.
    std::vector<int32_t> free_numbers;
    int32_t next = 0;
    for (const auto &entry : old_labels) {
        next = std::max(next, entry.second->index + 1);
        if (entry.second->index >= 0 && taken.count(entry.second->index) == 0)
            free_numbers.push_back(entry.second->index);
    }
    size_t free_cursor = 0;
    for (const auto &entry : new_labels) {
        const auto found = assigned.find(entry.second);
        if (found != assigned.end())
            entry.second->index = found->second;
        else if (free_cursor < free_numbers.size())
            entry.second->index = free_numbers[free_cursor++];
        else
            entry.second->index = next++;
    }
}

} // namespace

void AlignLabels(const LabeledProgram &old_program, LabeledProgram *new_program)
{
    const std::vector<Reference> old_refs = CollectReferences(old_program);
    const std::vector<Reference> new_refs = CollectReferences(*new_program);
    const std::vector<std::pair<size_t, size_t>> pairs = MatchReferences(old_refs, new_refs);
    Renumber(old_program.abs32_labels(), new_program->abs32_labels(), old_refs, new_refs, pairs, true);
    Renumber(old_program.rel32_labels(), new_program->rel32_labels(), old_refs, new_refs, pairs, false);
}

PatchStatus EncodeAlignedExecutable(const uint8_t *old_data, size_t old_length, const uint8_t *new_data,
                                    size_t new_length, std::unique_ptr<EncodedProgram> *program, int *kind)
{
    std::unique_ptr<LabeledProgram> old_program;
    std::unique_ptr<LabeledProgram> new_program;
    PatchStatus status = ParseDetectedExecutable(new_data, new_length, &new_program);
    if (status != PATCH_OK)
        return status;
    // Without a usable old program the address-order numbering stands.
    if (ParseDetectedExecutable(old_data, old_length, &old_program) == PATCH_OK && old_program->TrimLabels() &&
        old_program->kind() == new_program->kind())
        AlignLabels(*old_program, new_program.get());
    old_program.reset();
    if (!new_program->TrimLabels())
        return PATCH_TRIM_ERROR;
    if (!new_program->Encode(program))
        return PATCH_DIFF_FAILED;
    *kind = new_program->kind();
    return PATCH_OK;
}

} // namespace vtpatch
