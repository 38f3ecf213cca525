"""Writes the seed inputs of the engine fuzz target into tests/fuzz/corpus/.

Each seed is a stream of operations in the target's encoding (see engine_fuzz.cpp): the
low four bits of an operation byte choose the operation, bit 4 the game, bits 6-7 the
checkpoint slot. The seeds are real games and the other operations around them, so that
fuzzing starts from deep positions rather than from the opening.

    python3 tests/fuzz/make_corpus.py
"""
import pathlib
import random
import struct

LISTED, CELL, RAW, SAVE, LOAD, PACKED, BOARD, SETTLE, RENDER, DEFAULT, CREATE, NUMBER, RESET = (
    0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)


def op(code, game=0, slot=0):
    return bytes([code | game << 4 | slot << 6])


def listed_moves(rng, count, game=0):
    return b"".join(op(LISTED, game) + bytes([rng.randrange(256)]) for _ in range(count))


def packed_board(values):
    """Two bits a cell for 0, 1 and 2."""
    out = bytearray()
    for first in range(0, 81, 4):
        byte = 0
        for k, value in enumerate(values[first:first + 4]):
            byte |= value << (2 * k)
        out.append(byte)
    return bytes(out)


def seeds():
    rng = random.Random(9)
    # Whole games of listed moves, one with the text forms after every move.
    yield "full_game", listed_moves(rng, 81)
    yield "game_rendered", b"".join(listed_moves(rng, 1) + op(RENDER) for _ in range(70))
    # A known game by cell numbers: player 1 wins roster 4 with 38, 42 and 40; then an
    # occupied cell, a cell off the board, a wrong player and the grid.
    yield "known_cells", (b"".join(op(CELL) + bytes([c]) for c in (38, 22, 42, 58, 40))
                          + op(CELL) + bytes([40]) + op(CELL) + bytes([81]) + op(CELL) + bytes([0xFF])
                          + op(RAW) + bytes([0, 2]) + op(RENDER))
    # Save, play on, load into the same and into the other game, play both.
    yield "checkpoints", (listed_moves(rng, 20) + op(SAVE, 0, 1) + listed_moves(rng, 15) + op(RENDER, 0, 1)
                          + op(LOAD, 0, 1) + op(LOAD, 1, 1) + listed_moves(rng, 10, 1) + listed_moves(rng, 10))
    # A position with roster 4 and 0 won by player 1 and player 2 to move in roster 8.
    board = [0] * 81
    for cell in (36, 40, 44, 0, 1, 2, 80, 79):
        board[cell] = 1
    for cell in (3, 5, 9, 10, 20, 30, 50):
        board[cell] = 2
    yield "position", (op(PACKED, 0, 2) + b"\x01" + packed_board(board) + bytes([2, 8]) + op(RENDER, 0, 2)
                       + listed_moves(rng, 30) + op(SETTLE) + bytes([40]))
    # The default players against each other, with player ids and numbers to format.
    yield "default_players", (b"".join(op(DEFAULT) + bytes([i % 2]) for i in range(60))
                              + op(CREATE) + bytes([1]) + op(CREATE) + bytes([3])
                              + b"".join(op(NUMBER) + struct.pack("<d", x) for x in (-1.0, 1e-5, 1e16, 0.1, -0.0))
                              + op(RESET) + bytes([0x10]))


def main():
    folder = pathlib.Path(__file__).parent / "corpus"
    folder.mkdir(exist_ok=True)
    for name, data in seeds():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
