-- LuaJIT has no bitwise operators; its bit library does the same work.
local band, bxor, rshift = bit.band, bit.bxor, bit.rshift
local function churn(n)
    local acc = 1
    local i = 0
    while i < n do
        acc = (acc * 31 + bxor(i, rshift(acc, 3))) % 1000003
        acc = acc + band(i, 7) - 3
        i = i + 1
    end
    return acc
end
print(churn(20000000))
