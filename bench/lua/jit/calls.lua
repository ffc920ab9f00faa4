-- LuaJIT has no bitwise operators; its bit library does the same work.
local band = bit.band
local function mix(a, b, c, d, e)
    return (a * 3 + b * 5 + c * 7 + d * 11 + e) % 1000003
end
local function drive(n)
    local acc = 0
    local i = 0
    while i < n do
        acc = mix(acc, i, i + 1, band(acc, 255), 17)
        i = i + 1
    end
    return acc
end
print(drive(12000000))
