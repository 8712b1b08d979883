"""An independent model of the generator (SplitMix64 seeding, xoshiro256++), for checking states."""

MASK = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


def seeded(seed):
    words, x = [], seed
    for _ in range(4):
        x = (x + 0x9E3779B97F4A7C15) & MASK
        z = x
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        words.append(z ^ (z >> 31))
    return words


def peek(s):
    return (rotl((s[0] + s[3]) & MASK, 23) + s[0]) & MASK


def next_u64(s):
    result = peek(s)
    t = (s[1] << 17) & MASK
    s[2] ^= s[0]
    s[3] ^= s[1]
    s[1] ^= s[2]
    s[0] ^= s[3]
    s[2] ^= t
    s[3] = rotl(s[3], 45)
    return result


def uniform(s):
    return (next_u64(s) >> 11) * 2.0**-53
