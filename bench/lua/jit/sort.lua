-- LuaJIT has no integer division operator; math.floor does the same work.
local floor = math.floor

local function insertion_sort(a, lo, hi)
    local i = lo + 1
    while i <= hi do
        local v = a[i]
        local j = i - 1
        while j >= lo and a[j] > v do
            a[j + 1] = a[j]
            j = j - 1
        end
        a[j + 1] = v
        i = i + 1
    end
end

local function quicksort(a, lo, hi)
    while hi - lo > 16 do
        local pivot = a[floor((lo + hi - 2) / 2) + 1]
        local i = lo
        local j = hi
        while i <= j do
            while a[i] < pivot do
                i = i + 1
            end
            while a[j] > pivot do
                j = j - 1
            end
            if i <= j then
                local t = a[i]
                a[i] = a[j]
                a[j] = t
                i = i + 1
                j = j - 1
            end
        end
        if j - lo < hi - i then
            quicksort(a, lo, j)
            lo = i
        else
            quicksort(a, i, hi)
            hi = j
        end
    end
    insertion_sort(a, lo, hi)
end

local function run(n, rounds)
    local total = 0
    local seed = 1
    for _ = 1, rounds do
        local a = {}
        for i = 1, n do
            seed = (seed * 75 + 74) % 65537
            a[i] = seed
        end
        quicksort(a, 1, n)
        for i = 2, n do
            if a[i - 1] > a[i] then
                return -1
            end
        end
        total = total + a[1] + a[floor(n / 2) + 1] * 3 + a[n] * 7
    end
    return total
end
print(run(100000, 12))
