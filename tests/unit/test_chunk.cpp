// Growth of the code, line and constant arrays and the opcode tables.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "runtime/chunk.h"

TEST(ChunkGrowth, CodeAndLinesGrowTogetherByDoublingFromEight) {
    Chunk chunk;
    chunk_init(&chunk);
    EXPECT_EQ(chunk.code, nullptr);
    chunk_write(&chunk, OP_NULL, 1);
    EXPECT_EQ(chunk.capacity, 8);
    for (int i = 1; i < 8; i++) chunk_write(&chunk, OP_POP, i + 1);
    EXPECT_EQ(chunk.capacity, 8);
    chunk_write(&chunk, OP_RETURN, 9);
    EXPECT_EQ(chunk.capacity, 16);
    EXPECT_EQ(chunk.count, 9);
    for (int i = 9; i < 1000; i++) chunk_write(&chunk, OP_POP, -i);  // lines are stored as given
    EXPECT_EQ(chunk.capacity, 1024);
    EXPECT_EQ(chunk.code[0], OP_NULL);
    EXPECT_EQ(chunk.code[8], OP_RETURN);
    EXPECT_EQ(chunk.lines[8], 9);
    EXPECT_EQ(chunk.lines[999], -999);

    chunk_free(&chunk);
    EXPECT_EQ(chunk.count, 0);
    EXPECT_EQ(chunk.capacity, 0);
    EXPECT_EQ(chunk.lines, nullptr);
    chunk_write(&chunk, OP_ADD, 4);  // a freed chunk works like a new one
    EXPECT_EQ(chunk.capacity, 8);
    EXPECT_EQ(chunk.lines[0], 4);
    chunk_free(&chunk);
}

TEST(ChunkGrowth, ConstantsAreNeverShared) {
    Chunk chunk;
    chunk_init(&chunk);
    for (int i = 0; i < 3; i++) EXPECT_EQ(chunk_add_constant(&chunk, int_val(i)), i);
    EXPECT_EQ(chunk.constant_capacity, 8);
    EXPECT_EQ(chunk_add_constant(&chunk, int_val(7)), 3);
    EXPECT_EQ(chunk_add_constant(&chunk, int_val(7)), 4);
    // The pool itself has no limit; the one-byte operand is the compiler's concern.
    int index = 0;
    while (chunk.constant_count < CHUNK_MAX_CONSTANTS + 1) index = chunk_add_constant(&chunk, VALUE_NULL);
    EXPECT_EQ(index, CHUNK_MAX_CONSTANTS);
    EXPECT_EQ(chunk.constant_capacity, 512);
    EXPECT_EQ(chunk.constants[4], int_val(7));
    chunk_free(&chunk);
    EXPECT_EQ(chunk.constants, nullptr);
    EXPECT_EQ(chunk.constant_count, 0);
}

TEST(ChunkOpcodes, NamesAndOperandLengths) {
    EXPECT_STREQ(opcode_name(OP_CONSTANT), "OP_CONSTANT");
    EXPECT_STREQ(opcode_name(OP_COPY_STRUCT), "OP_COPY_STRUCT");
    EXPECT_STREQ(opcode_name(OPCODE_COUNT), "?");
    EXPECT_STREQ(opcode_name(-1), "?");
    EXPECT_EQ(opcode_operand_bytes(OP_JUMP_IF_FALSE), 2);
    EXPECT_EQ(opcode_operand_bytes(OP_LOOP), 2);
    EXPECT_EQ(opcode_operand_bytes(OP_STRUCT), 2);
    EXPECT_EQ(opcode_operand_bytes(OP_GET_FIELD), 1);
    EXPECT_EQ(opcode_operand_bytes(OP_CLOSURE), -1);
    EXPECT_EQ(opcode_operand_bytes(OP_ADD), 0);
    EXPECT_EQ(opcode_operand_bytes(255), 0);
    std::set<std::string> names;
    for (int op = 0; op < OPCODE_COUNT; op++) {
        EXPECT_EQ(std::strncmp(opcode_name(op), "OP_", 3), 0);
        names.insert(opcode_name(op));
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(OPCODE_COUNT));
}
