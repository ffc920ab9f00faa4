local function series(n)
    local sum = 0.0
    local sign = 1.0
    local k = 0.0
    local i = 0
    while i < n do
        sum = sum + sign / (2.0 * k + 1.0)
        sign = 0.0 - sign
        k = k + 1.0
        i = i + 1
    end
    return sum * 4.0
end
print(math.floor(series(25000000) * 1000000000000.0))
