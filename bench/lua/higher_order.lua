local function map(t, f)
    local out = {}
    for i = 1, #t do
        out[i] = f(t[i])
    end
    return out
end

local function filter(t, f)
    local out = {}
    local n = 0
    for i = 1, #t do
        local v = t[i]
        if f(v) then
            n = n + 1
            out[n] = v
        end
    end
    return out
end

local function reduce(t, init, f)
    local acc = init
    for i = 1, #t do
        acc = f(acc, t[i])
    end
    return acc
end

local function run(size, rounds)
    local xs = {}
    for i = 0, size - 1 do
        xs[i + 1] = i
    end
    local total = 0
    for r = 0, rounds - 1 do
        local k = r % 10
        local ys = map(xs, function(x) return x * 3 + k end)
        local zs = filter(ys, function(y) return y % 2 == 0 end)
        total = total + reduce(zs, 0, function(acc, z) return acc + z % 100 end)
    end
    return total
end
print(run(1000, 8000))
